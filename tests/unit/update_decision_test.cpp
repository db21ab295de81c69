#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "catalogue/update_decision.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const char ADVICE[] =
    "\nPlease check the Ostrel website for the proper firmware for your product,\n"
    "or for a more recent version of this program: https://www.ostrel.example/support\n\n";

// Standard input replaced by a pipe that holds `keys`, as when a script
// feeds the answers: every byte is one key. The writing end is closed, so a
// read past the last key is the end of input. The old input comes back at
// the end of the scope.
class KeyFeed {
public:
    explicit KeyFeed(const std::string& keys) {
#ifdef _WIN32
        HANDLE write_end = nullptr;
        if (!CreatePipe(&read_end_, &write_end, nullptr, 0)) ADD_FAILURE() << "CreatePipe";
        DWORD written = 0;
        if (!WriteFile(write_end, keys.data(), static_cast<DWORD>(keys.size()), &written, nullptr) ||
            written != keys.size()) {
            ADD_FAILURE() << "WriteFile";
        }
        CloseHandle(write_end);
        saved_ = GetStdHandle(STD_INPUT_HANDLE);
        SetStdHandle(STD_INPUT_HANDLE, read_end_);
#else
        int ends[2];
        if (pipe(ends) != 0) ADD_FAILURE() << "pipe";
        if (write(ends[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) ADD_FAILURE() << "write";
        close(ends[1]);
        saved_ = dup(STDIN_FILENO);
        dup2(ends[0], STDIN_FILENO);
        close(ends[0]);
#endif
    }
    ~KeyFeed() {
#ifdef _WIN32
        SetStdHandle(STD_INPUT_HANDLE, saved_);
        CloseHandle(read_end_);
#else
        dup2(saved_, STDIN_FILENO);
        close(saved_);
#endif
    }
    KeyFeed(const KeyFeed&) = delete;
    KeyFeed& operator=(const KeyFeed&) = delete;

private:
#ifdef _WIN32
    HANDLE read_end_ = nullptr;
    HANDLE saved_ = nullptr;
#else
    int saved_ = -1;
#endif
};

template <typename Action>
std::string output_of(Action action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
}

DeviceIdentity device_with(uint32_t version, const char* display_name = "SND44") {
    DeviceIdentity identity{};
    identity.product_code = 59;
    identity.hardware_revision = 1;
    identity.version = version;
    identity.display_name = display_name;
    return identity;
}

FirmwareImage image_with(uint32_t version, const char* name = "SND44", uint32_t product_code = 59,
                         uint32_t hardware_revision = 1) {
    FirmwareImage image{};
    image.product_code = product_code;
    image.hardware_revision = hardware_revision;
    image.version = version;
    std::strncpy(image.name, name, sizeof image.name - 1);
    return image;
}

TEST(VersionText, PrintsAndCountsEachField) {
    struct Case { uint32_t version; int32_t pad; const char* printed; int32_t width; };
    const Case cases[] = {
        {0x00000000, 1, "None, ", 4},
        {0x023A0000, 1, "2.58, ", 4},
        {0x023B0000, 1, "2.59, ", 4},
        {0x02050000, 1, "2.05, ", 4},
        {0x023B0102, 1, "2.59.01b(Beta), ", 14},   // "(Beta)" after the letter
        {0x02051400, 1, "2.05.20(Beta), ", 13},
        {0x0A050001, 1, "10.05a, ", 6},
        {0x09000000, 4, "9.00,    ", 4},           // last one-digit major
        {0x0000001A, 1, "0.00z, ", 5},             // only the letter set: still a version
        {0x00000100, 1, "0.00.01(Beta), ", 13},
        {0x023A0000, 0, "2.58,", 4},
        {0x023A0000, -3, "2.58,", 4},              // a negative pad is no pad
        // Three digits print in full but count as two.
        {0x64000000, 1, "100.00, ", 5},
        {0x02640000, 1, "2.100, ", 4},
        {0x023B6400, 1, "2.59.100(Beta), ", 13},
        {0xFFFFFF1A, 1, "255.255.255z(Beta), ", 15},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version << " pad " << std::dec << c.pad);
        EXPECT_EQ(output_of([&] { print_version(c.version, c.pad); }), c.printed);
        EXPECT_EQ(version_width(c.version), c.width);
    }
}

TEST(VersionText, TwoLinesAlignTheirModelTexts) {
    struct Case { uint32_t current; uint32_t update; const char* printed; };
    const Case cases[] = {
        {0x023A0000, 0x023B0102,
         "\n Current Version: 2.58,           Model: SND44\n Update Version:  2.59.01b(Beta), Model: SND44"},
        {0x023B0102, 0x023A0000,
         "\n Current Version: 2.59.01b(Beta), Model: SND44\n Update Version:  2.58,           Model: SND44"},
        {0x023A0000, 0x023B0000,
         "\n Current Version: 2.58, Model: SND44\n Update Version:  2.59, Model: SND44"},
        {0x00000000, 0x0A050001,
         "\n Current Version: None,   Model: SND44\n Update Version:  10.05a, Model: SND44"},
    };
    for (const Case& c : cases) {
        const DeviceIdentity identity = device_with(c.current);
        const FirmwareImage image = image_with(c.update);
        const std::string printed = output_of([&] { print_versions(&identity, &image); });
        EXPECT_EQ(printed, c.printed);
        const size_t second = printed.find('\n', 1);
        ASSERT_NE(second, std::string::npos);
        EXPECT_EQ(printed.find("Model"), printed.find("Model", second) - second);
    }
}

TEST(VersionText, ThreeDigitFieldPushesItsModelTextRight) {
    const DeviceIdentity identity = device_with(0x64000000, "LUX22");  // 100.00, counted as 5 wide
    const FirmwareImage image = image_with(0x023A0000, "SND44");
    EXPECT_EQ(output_of([&] { print_versions(&identity, &image); }),
              "\n Current Version: 100.00, Model: LUX22\n Update Version:  2.58,  Model: SND44");
}

TEST(ConfirmUpdate, NewerUpdateAcceptedWithLowerCaseY) {
    const DeviceIdentity identity = device_with(0x023A0000);
    const FirmwareImage image = image_with(0x023B0000);
    KeyFeed keys("y");
    UpdateAnswer result = ANSWER_NO;
    const std::string printed = output_of([&] { result = confirm_update(&identity, &image); });
    EXPECT_EQ(printed,
              "\n\nThis update is newer than the firmware inside the SND44.\n"
              "\n Current Version: 2.58, Model: SND44"
              "\n Update Version:  2.59, Model: SND44"
              "\n\nContinue with update to newer version? (Y,N) "
              "Y\n");
    EXPECT_EQ(result, ANSWER_YES);
}

TEST(ConfirmUpdate, VerdictFollowsTheWhole32BitValue) {
    const char* const SAME = "\nThe firmware in the %s matches this update.\n";
    const char* const NEWER = "\n\nThis update is newer than the firmware inside the %s.\n";
    const char* const OLDER = "\n\nThis update is OLDER than the firmware inside the %s!\n";
    const char* const ASK_SAME = "\n\nUpdate anyway? (Y,N) ";
    const char* const ASK_NEWER = "\n\nContinue with update to newer version? (Y,N) ";
    const char* const ASK_OLDER = "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
    struct Case { uint32_t current; uint32_t update; const char* verdict; const char* question; };
    const Case cases[] = {
        {0x023B0000, 0x023B0000, SAME, ASK_SAME},
        {0x023A0000, 0x023B0000, NEWER, ASK_NEWER},
        {0x023B0001, 0x023B0000, OLDER, ASK_OLDER},   // 2.59a against 2.59
        {0x023B0000, 0x023B0100, NEWER, ASK_NEWER},   // 2.59 against 2.59.01
        {0x00000000, 0x023B0000, NEWER, ASK_NEWER},   // a device without version
        {0x80000000, 0x7FFFFFFF, OLDER, ASK_OLDER},   // unsigned, not signed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.current << " against " << c.update);
        const DeviceIdentity identity = device_with(c.current, "LUXA44");
        const FirmwareImage image = image_with(c.update, "SND44");
        std::string verdict = c.verdict;
        verdict.replace(verdict.find("%s"), 2, "LUXA44");
        const std::string lines = output_of([&] { print_versions(&identity, &image); });

        for (const char* answer : {"y", "n"}) {
            KeyFeed keys(answer);
            UpdateAnswer result = ANSWER_END_OF_INPUT;
            const std::string printed = output_of([&] { result = confirm_update(&identity, &image); });
            const bool yes = answer[0] == 'y';
            EXPECT_EQ(printed, verdict + lines + c.question + (yes ? "Y\n" : "N\n\nUpdate cancelled.\n\n"));
            EXPECT_EQ(result, yes ? ANSWER_YES : ANSWER_NO);
        }
    }
}

TEST(ConfirmUpdate, OnlyYAndNAnswerEachCodeOnItsOwn) {
    struct Case { std::string keys; UpdateAnswer result; };
    const Case cases[] = {
        {"Y", ANSWER_YES},
        {"N", ANSWER_NO},
        {"q1 \x1b\r\nxy", ANSWER_YES},
        {std::string("\x00\x3B", 2) + "n", ANSWER_NO},  // F1: both codes dropped
        {"\xE0\x48y", ANSWER_YES},                       // an arrow key, then y
        {std::string("\x00\x59", 2), ANSWER_YES},        // the second code of a two-code key is a Y
        {"\xE0\x4E", ANSWER_NO},                        // ... or an N
        {"\xFD\xFFn", ANSWER_NO},
        {"abc", ANSWER_END_OF_INPUT},                    // no answer can come: nothing more is printed
    };
    const DeviceIdentity identity = device_with(0x023A0000);
    const FirmwareImage image = image_with(0x023A0000);
    const std::string question = "\n\nUpdate anyway? (Y,N) ";
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.keys));
        KeyFeed keys(c.keys);
        UpdateAnswer result = ANSWER_NO;
        const std::string printed = output_of([&] { result = confirm_update(&identity, &image); });
        EXPECT_EQ(result, c.result);
        // Nothing between the question and the accepted letter.
        const std::string answer = c.result == ANSWER_YES  ? question + "Y\n"
                                   : c.result == ANSWER_NO ? question + "N\n\nUpdate cancelled.\n\n"
                                                           : question;
        ASSERT_GE(printed.size(), answer.size());
        EXPECT_EQ(printed.substr(printed.size() - answer.size()), answer);
    }
}

TEST(ConfirmUpdate, ReadsNoKeyPastTheAnswer) {
    const DeviceIdentity identity = device_with(0x023A0000);
    const FirmwareImage image = image_with(0x023B0000);
    KeyFeed keys("xnay");
    UpdateAnswer first = ANSWER_END_OF_INPUT;
    UpdateAnswer second = ANSWER_END_OF_INPUT;
    (void)output_of([&] { first = confirm_update(&identity, &image); });
    (void)output_of([&] { second = confirm_update(&identity, &image); });
    EXPECT_EQ(first, ANSWER_NO);
    EXPECT_EQ(second, ANSWER_YES);
}

TEST(Compatibility, DeviceFirstThenImageThenCodeThenRevision) {
    struct Case { uint16_t device_code, device_revision; uint32_t image_code, image_revision; Compatibility result; };
    const Case cases[] = {
        {59, 1, 59, 1, COMPATIBLE},
        {56, 4, 56, 4, COMPATIBLE},
        {59, 1, 59, 2, REVISION_MISMATCH},
        {56, 4, 56, 3, REVISION_MISMATCH},
        {59, 1, 56, 1, PRODUCT_MISMATCH},
        {59, 2, 56, 1, PRODUCT_MISMATCH},   // the code is compared before the revision
        {57, 1, 59, 1, DEVICE_UNKNOWN},
        {59, 3, 59, 1, DEVICE_UNKNOWN},     // SND44 has two revisions
        {59, 0, 59, 1, DEVICE_UNKNOWN},
        {57, 1, 57, 1, DEVICE_UNKNOWN},     // neither known: the device is examined first
        {59, 1, 57, 1, IMAGE_UNKNOWN},
        {59, 1, 59, 3, IMAGE_UNKNOWN},
        {59, 1, 0x1003B, 1, IMAGE_UNKNOWN},     // 59 in the low 16 bits only
        {59, 1, 59, 0xFFFFFFFF, IMAGE_UNKNOWN},
    };
    for (const Case& c : cases) {
        DeviceIdentity identity{};
        identity.product_code = c.device_code;
        identity.hardware_revision = c.device_revision;
        const FirmwareImage image = image_with(0, "X", c.image_code, c.image_revision);
        EXPECT_EQ(check_compatibility(&identity, &image), c.result)
            << c.device_code << "/" << c.device_revision << " against " << c.image_code << "/" << c.image_revision;
    }
}

TEST(Compatibility, EveryCodeReportsThenAdvises) {
    DeviceIdentity identity = device_with(0x023A0000, "LUX22");
    std::strcpy(identity.reported_name, "XR-7");
    identity.hardware_revision = 65535;
    const FirmwareImage image = image_with(0x023B0000, "SND44");
    struct Case { Compatibility code; std::string report; };
    const Case cases[] = {
        {COMPATIBLE, ""},
        {IMAGE_UNKNOWN, "\nThe firmware file given is for a product not recognize by this program.\n"},
        {DEVICE_UNKNOWN, "\nThis program cannot update a \"XR-7\"."},   // the name the device gave
        {PRODUCT_MISMATCH, "\nAttempting to update device: \"LUX22\"."
            "\nNew firmware is for device:  \"SND44\".\n"
            "\nIncompatible firmware, device not updated.\n"},
        {REVISION_MISMATCH, "\nUnsupported PCB Revision: Rev 65535.\n"
            "This firmware won't work on this version of the LUX22,\ndevice not updated.\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(output_of([&] { report_incompatibility(c.code, &identity, &image); }), c.report + ADVICE)
            << "code " << c.code;
    }
}

TEST(Compatibility, ReportsSurviveMissingAndUnterminatedNames) {
    DeviceIdentity identity = device_with(0, nullptr);
    const FirmwareImage image = image_with(0, "SND44");
    EXPECT_EQ(output_of([&] { report_incompatibility(DEVICE_UNKNOWN, &identity, &image); }),
              std::string("\nThis program cannot update a \"\".") + ADVICE);
    EXPECT_EQ(output_of([&] { report_incompatibility(PRODUCT_MISMATCH, &identity, &image); }),
              std::string("\nAttempting to update device: \"\".\nNew firmware is for device:  \"SND44\".\n"
                          "\nIncompatible firmware, device not updated.\n") + ADVICE);

    // A device may fill its whole name field; at most 32 characters show.
    std::memset(identity.reported_name, 'A', sizeof identity.reported_name);
    EXPECT_EQ(output_of([&] { report_incompatibility(DEVICE_UNKNOWN, &identity, &image); }),
              "\nThis program cannot update a \"" + std::string(32, 'A') + "\"." + ADVICE);
}

}  // namespace
