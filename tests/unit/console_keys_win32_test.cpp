// Keys from redirected standard input on Windows: a pipe, a file, the NUL
// device, no input at all. (Console keys need a person at a console.)
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console.h"

namespace {

// Makes `input` the process's standard input for one test; the test owns
// closing it.
class StdinSwap {
public:
    explicit StdinSwap(HANDLE input) : saved_(GetStdHandle(STD_INPUT_HANDLE)) {
        SetStdHandle(STD_INPUT_HANDLE, input);
    }
    ~StdinSwap() { SetStdHandle(STD_INPUT_HANDLE, saved_); }
    StdinSwap(const StdinSwap&) = delete;
    StdinSwap& operator=(const StdinSwap&) = delete;

private:
    HANDLE saved_;
};

void write_all(HANDLE to, const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(to, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
}

std::vector<int32_t> keys_until_end(size_t at_most) {
    std::vector<int32_t> keys;
    while (keys.size() < at_most) {
        keys.push_back(key_read());
        if (keys.back() == KEY_END_OF_INPUT) break;
    }
    return keys;
}

TEST(ConsoleKeys, EveryByteOfAPipeIsOneKeyThenTheEndStays) {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
    StdinSwap swap(read_end);

    EXPECT_EQ(key_waiting(), 0) << "an open, empty pipe has no key yet";
    write_all(write_end, std::string("y\xE0H\0", 4));  // a two-code key: 0xE0 then its code
    EXPECT_EQ(key_waiting(), 1);
    EXPECT_EQ(key_read(), 'y');
    EXPECT_EQ(key_read(), 0xE0) << "bytes above 127 are key codes, not negative";
    EXPECT_EQ(key_read(), 'H');
    EXPECT_EQ(key_read(), 0);
    EXPECT_EQ(key_waiting(), 0);

    CloseHandle(write_end);
    EXPECT_EQ(key_waiting(), 1) << "the end of input lets key_read return at once";
    EXPECT_EQ(key_read(), KEY_END_OF_INPUT);
    EXPECT_EQ(key_read(), KEY_END_OF_INPUT);
    CloseHandle(read_end);
}

TEST(ConsoleKeys, EveryByteOfAFileIsOneKeyThenTheEnd) {
    char folder[MAX_PATH];
    char path[MAX_PATH];
    ASSERT_NE(GetTempPathA(sizeof folder, folder), 0u);
    ASSERT_NE(GetTempFileNameA(folder, "key", 0, path), 0u);
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    write_all(file, "n\r\n");
    ASSERT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
    StdinSwap swap(file);

    EXPECT_EQ(key_waiting(), 1);
    const std::vector<int32_t> expected = {'n', '\r', '\n', KEY_END_OF_INPUT};
    EXPECT_EQ(keys_until_end(8), expected);
    EXPECT_EQ(key_read(), KEY_END_OF_INPUT);
    CloseHandle(file);
}

TEST(ConsoleKeys, NoConsoleBehindStandardInputEndsAtOnce) {
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nul, INVALID_HANDLE_VALUE);
    const struct { const char* what; HANDLE input; } cases[] = {
        {"NUL device", nul},
        {"no standard input", nullptr},
        {"invalid handle", INVALID_HANDLE_VALUE},
    };
    for (const auto& c : cases) {
        StdinSwap swap(c.input);
        EXPECT_EQ(key_waiting(), 1) << c.what;
        EXPECT_EQ(key_read(), KEY_END_OF_INPUT) << c.what;
    }
    CloseHandle(nul);
}

}  // namespace

#endif
