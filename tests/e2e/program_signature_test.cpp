// An --image file is flashed only when the maker signed it, end to end: a
// signed image updates the device; every refusal is its one line and exit
// status 10 before any port is opened; --allow-unsigned takes only a file
// with no signature at all. Natively; under Wine a good, a tampered and an
// unsigned image, so that CNG's verdicts are those of libcrypto.
#include <fstream>
#include <memory>
#include <tuple>

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

std::string key_path(const char* name) {
    return firmware_path("../tests/keys/") + name;
}

// The image files and signatures of the rows, made once with openssl as a
// maker makes them: folder/NAME.img and folder/NAME.img.sig.
struct SignedFiles {
    TempFolder folder;
    std::string path(const std::string& name) const { return folder.path + "/" + name; }
    void sign(const char* key, const std::string& image, const std::string& signature) const {
        const int status = child_run({"/usr/bin/openssl", "dgst", "-sha256", "-sign", key_path(key), "-out",
                                      path(signature), path(image)}, 20000);
        if (status != 0) ADD_FAILURE() << "openssl could not sign " << image;
    }
    SignedFiles() {
        ImageBytes image;
        if (!image_load(firmware_path("snd44_rev1.img"), &image) || !image_save(path("signed.img"), image) ||
            !image_save(path("unsigned.img"), image)) {
            ADD_FAILURE() << "cannot copy the image";
        }
        sign("development-private.pem", "signed.img", "signed.img.sig");
        sign("second-private.pem", "signed.img", "second.img.sig");
        std::ifstream in(path("signed.img.sig"), std::ios::binary);
        const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // One body byte changed, the CRC-32 put right: only the signature can tell.
        image[1000] ^= 0x55;
        fix_crc(image);
        if (!image_save(path("tampered.img"), image) || der.size() < 8) ADD_FAILURE() << "cannot make the files";
        std::ofstream(path("tampered.img.sig"), std::ios::binary) << der;
        std::ofstream(path("empty.sig")).close();
        std::ofstream(path("cut.sig"), std::ios::binary) << der.substr(0, der.size() - 1);
        std::ofstream(path("trailing.sig"), std::ios::binary) << der << '\0';
        std::ofstream(path("length.sig"), std::ios::binary) << der.substr(0, 3) << '\x7f' << der.substr(4);
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

// A refusal: after the banner one line, the image's name then `cause`, and
// exit status 10 with no byte on the line.
ProgramCase refused(const std::string& name, const std::string& image, std::vector<std::string> options,
                    const std::string& cause) {
    return {name, [=](bool) { return signature_run(image, options); },
            [=](const RunResult& run, bool) {
                EXPECT_EQ(run.exit_status, 10);
                expect_transcript(run.output,
                                  text_head() + "\n" + files().path(image) + ": " + expand(cause) + "\n" + NOT_SIGNED_RESULT);
                expect_untouched(run.devices.at(0));
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
    std::vector<ProgramCase> cases = {
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
    };
    // The signature options speak of an image file, and --allow-unsigned of
    // one without a signature file: usage errors otherwise (status 2).
    for (const auto& [name, args, error] :
         {std::tuple{"SignatureWithoutImage", std::vector<std::string>{"--batch", "--signature", "x.sig"},
                     "this option needs --image: --signature"},
          std::tuple{"AllowUnsignedBesideSignature",
                     std::vector<std::string>{"--batch", "--image", "x.img", "--signature", "x.sig", "--allow-unsigned"},
                     "this option cannot be used with --signature: --allow-unsigned"}}) {
        RunPlan plan;
        plan.args = args;
        const std::string said = std::string("\n") + error + " (ofwu --help lists the options)\n";
        cases.push_back({name, [plan](bool) { return plan; }, [said](const RunResult& run, bool) {
                             EXPECT_EQ(run.exit_status, 2);
                             EXPECT_NE(run.output.find(said), std::string::npos) << run.output;
                         }});
    }
    // Without --batch a refusal takes the exit path, as a broken image does.
    ProgramCase keys = refused("WithoutBatchTheExitPath", "unsigned.img", {}, "");
    keys.plan = [](bool) {
        RunPlan plan = signature_run("unsigned.img", {});
        plan.args.erase(plan.args.begin());
        plan.keys = {{KEY_PROMPT, "x"}};
        return plan;
    };
    keys.check = [](const RunResult& run, bool) {
        expect_ended(run);
        expect_transcript(run.output, text_head() + expand("\n$F/unsigned.img: not signed: there is no signature file "
                                                           "$F/unsigned.img.sig\n") + text_exit());
        expect_untouched(run.devices.at(0));
    };
    cases.push_back(keys);
    return cases;
}

class ProgramSignature : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramSignature, Native) {
    run_program_case(GetParam(), false);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramSignature, testing::ValuesIn(signature_cases()), program_case_name);

class ProgramSignatureWine : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramSignatureWine, Wine) {
    run_program_case(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramSignatureWine,
                         testing::ValuesIn(rows_named(signature_cases(), {"SignedImageUpdated", "TamperedBodyCrcRight",
                                                                          "NoSignatureFile",
                                                                          "AllowUnsignedWithoutSignature"})),
                         program_case_name);

// --list shows the signature's state and key under the image's line.
TEST(ProgramSignatureList, ListShowsTheSignature) {
    for (const std::string& said : {"$F/signed.img" + DEVELOPMENT_KEY_SAID,
                                    std::string("$F/unsigned.img: not signed: there is no signature file $F/unsigned.img.sig")}) {
        RunPlan plan;
        plan.args = {"--list", "--image", expand(said.substr(0, said.find(':')))};
        const RunResult run = e2e_run(plan);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output.substr(run.output.find('\n') + 1), expand(said) + "\n") << run.output;
    }
}

}  // namespace
