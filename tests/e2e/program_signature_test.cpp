// An --image file is flashed only when the maker signed it, end to end: a
// signed image updates the device; every refusal is its one line and exit
// status 10 before any port is opened; --allow-unsigned takes only a file
// with no signature at all. On the virtual clock; over real ptys, natively
// and under Wine, a good, a tampered and an unsigned image, --list and a
// signature from a pipe, so that CNG's verdicts are those of libcrypto.
#include <fstream>
#include <memory>

#include <nlohmann/json.hpp>

#include "e2e_process.h"
#include "image_damage.h"
#include "image_format.h"
#include "program_e2e.h"

namespace {

// What the program says of an image the development key signed, after its name.
const std::string DEVELOPMENT_KEY_SAID =
    ": signature good, key 3fc84277b2c44dfe (the development key: for tests only, it proves nothing of the maker)";
const std::string NOT_SIGNED_RESULT = "\nResult: the image file is not signed by the maker (exit status 10).\n";

// The image files and signatures of the rows, made once with openssl as a
// maker makes them.
struct SignedFiles {
    TempFolder folder;
    std::string path(const std::string& name) const { return folder.path + "/" + name; }
    void sign(const char* key, const std::string& signature) const {
        if (child_run({"/usr/bin/openssl", "dgst", "-sha256", "-sign", firmware_path("../tests/keys/") + key, "-out",
                       path(signature), path("signed.img")}, 20000) != 0) {
            ADD_FAILURE() << "openssl could not sign with " << key;
        }
    }
    void put(const std::string& name, const std::string& bytes) const {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }
    SignedFiles() {
        ImageBytes image;
        if (!image_load(firmware_path("snd44_rev1.img"), &image)) ADD_FAILURE() << "cannot read the image";
        put("signed.img", std::string(image.begin(), image.end()));
        put("unsigned.img", std::string(image.begin(), image.end()));
        sign("development-private.pem", "signed.img.sig");
        sign("second-private.pem", "second.img.sig");
        const std::string der = file_text(path("signed.img.sig"));
        // One body byte changed, the CRC-32 put right: only the signature can tell.
        image[1000] ^= 0x55;
        fix_crc(image);
        put("tampered.img", std::string(image.begin(), image.end()));
        put("tampered.img.sig", der);
        put("empty.sig", "");
        put("cut.sig", der.substr(0, der.size() - 1));
        put("trailing.sig", der + '\0');
        put("length.sig", der.substr(0, 3) + '\x7f' + der.substr(4));  // r runs past the SEQUENCE
    }
};

const SignedFiles& files() {
    static const std::unique_ptr<SignedFiles> made(new SignedFiles);
    return *made;
}

// `text` with each "$F/" made the files' folder: the rows name the files
// before they are made, at the first run.
std::string expand(std::string text) {
    const std::string& folder = files().folder.path;
    for (size_t at = text.find("$F/"); at != std::string::npos; at = text.find("$F/", at + folder.size())) {
        text.replace(at, 2, folder);
    }
    return text;
}

std::vector<std::string> expand(std::vector<std::string> texts) {
    for (std::string& text : texts) text = expand(text);
    return texts;
}

// ofwu --batch --image NAME [options] 3, a device on COM3, the run's report in NAME.jsonl.
RunPlan signature_run(const std::string& image, const std::vector<std::string>& options) {
    RunPlan plan;
    plan.args = concat({"--batch", "--image", files().path(image), "--report", files().path(image + ".jsonl")},
                       expand(options));
    plan.args.push_back("3");
    plan.devices = {{3, concat(snd44(1), {"--line", "100:=P"})}};
    plan.timeout_ms = 25000;
    return plan;
}

// A refusal: after the banner one line, the image's name then `cause`; with
// --batch exit status 10, without it the exit path; no byte on the line.
ProgramCase refused(const std::string& name, const std::string& image, std::vector<std::string> options,
                    const std::string& cause, bool batch = true) {
    return {name,
            [=](bool) {
                RunPlan plan = signature_run(image, options);
                if (batch) return plan;
                plan.args.erase(plan.args.begin());
                plan.keys = {{KEY_PROMPT, "x"}};
                return plan;
            },
            [=](const RunResult& run, bool) {
                EXPECT_EQ(run.exit_status, batch ? 10 : 1);
                expect_transcript(run.output, text_head() + expand("\n$F/" + image + ": " + cause + "\n") +
                                                  (batch ? NOT_SIGNED_RESULT : text_exit()));
                expect_untouched(run.devices.at(0));
            }};
}

// A usage error of the signature options (status 2), or --list with an
// image file: the line that shows its signature.
ProgramCase answered(const std::string& name, const std::vector<std::string>& args, int status,
                     const std::string& said) {
    return {name,
            [=](bool) {
                RunPlan plan;
                plan.args = expand(args);
                return plan;
            },
            [=](const RunResult& run, bool) {
                EXPECT_EQ(run.exit_status, status);
                EXPECT_NE(run.output.find(expand(said)), std::string::npos) << run.output;
            }};
}

// An update: the line that vouches for the image, then the device updated,
// and what the report says of the signature.
ProgramCase updated(const std::string& name, const std::string& image, std::vector<std::string> options,
                    const std::string& said, const std::string& report_says, const std::string& shell = "") {
    return {name,
            [=](bool) {
                RunPlan plan = signature_run(image, options);
                if (!shell.empty()) plan.launcher = {"/bin/sh", "-c", expand(shell), "sh"};
                return plan;
            },
            [=](const RunResult& run, bool) {
                EXPECT_EQ(run.exit_status, 0) << run.output;
                EXPECT_EQ(run.output.rfind(text_head() + "\n" + expand(said) + "\n\nCOM3: ", 0), 0u) << run.output;
                expect_image_complete(run.devices.at(0), 1);
                std::ifstream report(files().path(image + ".jsonl"));
                std::string line, last;
                while (std::getline(report, line)) last = line;
                EXPECT_EQ(nlohmann::json::parse(last).at("image_signature"), report_says);
            }};
}

std::vector<ProgramCase> signature_cases() {
    const std::string matches_none =
        " matches none of the built-in keys: the image was changed after it was signed, or a key this program does "
        "not know made it (a DER ECDSA signature does not name its key)";
    const std::string not_der = " is not a DER ECDSA signature: ";
    return {
        updated("SignedImageUpdated", "signed.img", {}, "$F/signed.img" + DEVELOPMENT_KEY_SAID, "key:3fc84277b2c44dfe"),
        refused("TamperedBodyCrcRight", "tampered.img", {}, "the signature in $F/tampered.img.sig" + matches_none),
        refused("NoSignatureFile", "unsigned.img", {}, "not signed: there is no signature file $F/unsigned.img.sig"),
        refused("SignedByAnUnknownKey", "signed.img", {"--signature", "$F/second.img.sig"},
                "the signature in $F/second.img.sig" + matches_none),
        refused("EmptySignature", "signed.img", {"--signature", "$F/empty.sig"},
                "$F/empty.sig" + not_der + "the file is empty"),
        refused("TruncatedSignature", "signed.img", {"--signature", "$F/cut.sig"},
                "$F/cut.sig" + not_der + "it ends before the length its SEQUENCE gives: the file is cut short"),
        refused("TrailingBytes", "signed.img", {"--signature", "$F/trailing.sig"},
                "$F/trailing.sig" + not_der + "bytes follow the end of its SEQUENCE"),
        refused("WrongLengthField", "signed.img", {"--signature", "$F/length.sig"},
                "$F/length.sig" + not_der +
                    "a length field is wrong: r and s do not fill the SEQUENCE exactly, or a length is not in DER's "
                    "short form"),
        updated("AllowUnsignedWithoutSignature", "unsigned.img", {"--allow-unsigned"},
                "Warning: $F/unsigned.img is not signed (there is no signature file $F/unsigned.img.sig): it is "
                "flashed all the same (--allow-unsigned), for development only",
                "unsigned"),
        refused("AllowUnsignedWithABadSignature", "tampered.img", {"--allow-unsigned"},
                "the signature in $F/tampered.img.sig" + matches_none),
        updated("SignatureFromAPipe", "unsigned.img", {"--signature", "/dev/stdin"},
                "$F/unsigned.img" + DEVELOPMENT_KEY_SAID, "key:3fc84277b2c44dfe", "cat '$F/signed.img.sig' | \"$@\""),
        refused("WithoutBatchTheExitPath", "unsigned.img", {},
                "not signed: there is no signature file $F/unsigned.img.sig", false),
        // The signature options speak of an image file, and --allow-unsigned
        // of one without a signature file.
        answered("SignatureWithoutImage", {"--batch", "--signature", "x.sig"}, 2,
                 "\nthis option needs --image: --signature (ofwu --help lists the options)\n"),
        answered("AllowUnsignedBesideSignature",
                 {"--batch", "--image", "x.img", "--signature", "x.sig", "--allow-unsigned"}, 2,
                 "\nthis option cannot be used with --signature: --allow-unsigned (ofwu --help lists the options)\n"),
        answered("ListShowsTheKey", {"--list", "--image", "$F/signed.img"}, 0,
                 "\n$F/signed.img" + DEVELOPMENT_KEY_SAID + "\n"),
        answered("ListShowsNoSignature", {"--list", "--image", "$F/unsigned.img"}, 0,
                 "\n$F/unsigned.img: not signed: there is no signature file $F/unsigned.img.sig\n"),
    };
}

// Over real pseudo-terminals and under Wine (the Windows build checks with
// CNG): a signed image, the tampered one, no signature, the key listed, an
// unsigned image allowed, and the signature from a pipe.
PROGRAM_TABLE_REAL(ProgramSignature, signature_cases, "SignedImageUpdated", "TamperedBodyCrcRight", "NoSignatureFile",
                   "ListShowsTheKey", "AllowUnsignedWithoutSignature", "SignatureFromAPipe");

}  // namespace
