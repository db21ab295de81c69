// The ports the scan tries on Windows when no port is named. COM1 to COM16
// are tried as they always were, whether or not the system lists them.
// Windows numbers USB adapters in the order they were first plugged in, so
// COM17 or COM23 is usual on a technician's machine: every other COM port
// the system lists (the values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// whose data is the port's name) up to COM99 follows, in number order. A
// value that is not "COMn" with n from 1 to 99 is no port of ours; a
// registry that cannot be read lists none.
//
// Everything is read into fixed buffers: nothing here allocates.
#include <windows.h>

#include <cstring>

#include "serial/serial_port.h"

namespace {

constexpr char SERIALCOMM_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD VALUE_NAME_MAX = 16384;  // the longest value name the registry allows, with its NUL
constexpr DWORD PORT_DATA_MAX = 16;      // "COM99" and its NUL, with room to tell longer data

// The COM number `text` (of `length` characters) names: "COM1" to "COM99"
// exactly, without a leading zero; 0 for anything else.
uint32_t com_number_of(const char* text, size_t length) {
    if (length < 4 || length > 5 || std::strncmp(text, "COM", 3) != 0 || text[3] < '1' || text[3] > '9') return 0;
    if (length == 4) return static_cast<uint32_t>(text[3] - '0');
    if (text[4] < '0' || text[4] > '9') return 0;
    return static_cast<uint32_t>((text[3] - '0') * 10 + (text[4] - '0'));
}

// Marks in `listed` (indexed by COM number) every port the system lists.
void serialcomm_read(bool (&listed)[PORT_COM_MAX + 1]) {
    HKEY key = nullptr;
    // RegOpenKeyExA returns ERROR_SUCCESS when the key is open.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
    char name[VALUE_NAME_MAX];
    char data[PORT_DATA_MAX];
    for (DWORD index = 0;; ++index) {
        DWORD name_length = sizeof name;
        DWORD data_size = sizeof data;
        DWORD type = REG_NONE;
        // ERROR_MORE_DATA: the data is longer than any "COMn" of ours, and
        // is passed over; ERROR_NO_MORE_ITEMS (or any other error) ends it.
        const LONG result = RegEnumValueA(key, index, name, &name_length, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &data_size);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        // The stored text need not end in a NUL, and may end in several.
        size_t length = data_size;
        while (length > 0 && data[length - 1] == '\0') --length;
        listed[com_number_of(data, length)] = true;
    }
    listed[0] = false;  // where anything that is no port of ours was marked
    (void)RegCloseKey(key);  // read-only: nothing is lost if it fails
}

}  // namespace

uint32_t port_scan_list(PortCandidate* list, uint32_t most) {
    bool listed[PORT_COM_MAX + 1] = {};
    serialcomm_read(listed);
    uint32_t count = 0;
    for (uint32_t number = 1; number <= PORT_COM_MAX && count < most; ++number) {
        if (number > SCAN_PORTS_MAX && !listed[number]) continue;
        // "\\.\COM99" always fits the name; the result cannot be 0.
        (void)port_candidate_number(number, &list[count]);
        ++count;
    }
    return count;
}
