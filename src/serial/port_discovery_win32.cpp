// The ports the scan tries on Windows when no port is named, and the list
// --ports prints. COM1 to COM16 are tried as they always were, whether or
// not the system lists them. Windows numbers USB adapters in the order they
// were first plugged in, so COM17 or COM23 is usual on a technician's
// machine: every other COM port the system lists (the values under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, whose data is the port's name) up to
// COM99 follows, in number order. A value that is not "COMn" with n from 1
// to 99 is no port of ours; a registry that cannot be read lists none.
//
// --ports names each listed port with what the device manager knows of it:
// its friendly name, and the USB vendor and product ids and serial number
// of the USB device behind it, read from the device instance ids.
//
// Everything is read into fixed buffers: nothing here allocates.
#include <windows.h>
// After windows.h, whose types they use.
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "serial/serial_port.h"

namespace {

constexpr char SERIALCOMM_KEY[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD VALUE_NAME_MAX = 16384;  // the longest value name the registry allows, with its NUL
constexpr DWORD PORT_DATA_MAX = 16;      // "COM99" and its NUL, with room to tell longer data
constexpr size_t FRIENDLY_MAX = 128;     // a device's friendly name ("USB Serial Port (COM23)")
constexpr size_t USB_TEXT_MAX = 160;     // "USB 0403:6001 A50285BI"
constexpr size_t INSTANCE_ID_MAX = 512;  // MAX_DEVICE_ID_LEN (200) with room to spare
constexpr int PARENT_STEPS_MAX = 4;      // a port's function, its USB interface, the USB device, ...

// The device class of COM ports, {4d36e978-e325-11ce-bfc1-08002be10318}.
constexpr GUID PORTS_CLASS = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

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

// What --ports tells of one COM port.
struct PortDetails {
    char friendly[FRIENDLY_MAX];
    char usb[USB_TEXT_MAX];
};

// The 4 hex digits after `tag` ("VID_") in `id`, lower case, into `out`
// (5 bytes); false when they are not there.
bool hex_after(const char* id, const char* tag, char* out) {
    const char* at = std::strstr(id, tag);
    if (at == nullptr) return false;
    at += std::strlen(tag);
    for (int i = 0; i < 4; ++i) {
        const char c = at[i];
        const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit) return false;
        out[i] = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    out[4] = '\0';
    return true;
}

// How much a device instance id tells of USB.
enum UsbKind : int32_t {
    USB_NONE = 0,    // no USB ids
    USB_IDS = 1,     // the ids, but not of a whole USB device: no serial number
    USB_DEVICE = 2,  // a whole USB device: its serial number too, when it has one
};

// "USB 0403:6001 A50285BI" from a device instance id. A USB device's id is
// USB\VID_0403&PID_6001\<its serial number>, or a number Windows made up,
// with "&" in it, when the device has none; an interface of a composite
// device (&MI_) and a vendor's own bus (FTDIBUS\VID_0403+PID_6001+...) carry
// the ids but no serial number.
UsbKind usb_text_of(const char* id, char* text, size_t size) {
    char vendor[5];
    char product[5];
    if (!hex_after(id, "VID_", vendor) || !hex_after(id, "PID_", product)) return USB_NONE;
    const bool whole_device = std::strncmp(id, "USB\\", 4) == 0 && std::strstr(id, "&MI_") == nullptr;
    const char* serial = std::strrchr(id, '\\');
    if (!whole_device || serial == nullptr || serial[1] == '\0' || std::strchr(serial, '&') != nullptr) {
        serial = nullptr;
    }
    (void)std::snprintf(text, size, "USB %s:%s%s%s", vendor, product, serial != nullptr ? " " : "",
                        serial != nullptr ? serial + 1 : "");  // cut short, never overrun
    return whole_device ? USB_DEVICE : USB_IDS;
}

// The USB text of the device `instance` or of the nearest device above it
// that is a whole USB device (a port's function sits on an interface of
// it); else of the nearest that has USB ids at all.
void usb_text_above(DEVINST instance, char* text, size_t size) {
    text[0] = '\0';
    char id[INSTANCE_ID_MAX];
    char found[USB_TEXT_MAX];
    for (int step = 0; step < PARENT_STEPS_MAX; ++step) {
        // CM_Get_Device_IDA and CM_Get_Parent return CR_SUCCESS on success.
        if (CM_Get_Device_IDA(instance, id, sizeof id, 0) != CR_SUCCESS) return;
        const UsbKind kind = usb_text_of(id, found, sizeof found);
        if (kind == USB_DEVICE || (kind == USB_IDS && text[0] == '\0')) (void)std::snprintf(text, size, "%s", found);
        if (kind == USB_DEVICE) return;
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, instance, 0) != CR_SUCCESS) return;
        instance = parent;
    }
}

// The port name a device of the Ports class was given, as a COM number; 0
// when it has none of ours.
uint32_t device_com_number(HDEVINFO set, SP_DEVINFO_DATA* device) {
    // SetupDiOpenDevRegKey returns INVALID_HANDLE_VALUE when the device has no key.
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) return 0;
    char name[PORT_DATA_MAX];
    DWORD size = sizeof name;
    DWORD type = REG_NONE;
    const LONG result = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    (void)RegCloseKey(key);  // read-only
    if (result != ERROR_SUCCESS || type != REG_SZ) return 0;
    size_t length = size;
    while (length > 0 && name[length - 1] == '\0') --length;
    return com_number_of(name, length);
}

// What the device manager knows of each COM port of the Ports class.
void details_read(PortDetails (&details)[PORT_COM_MAX + 1]) {
    // SetupDiGetClassDevsA returns INVALID_HANDLE_VALUE on failure.
    HDEVINFO set = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    // SetupDiEnumDeviceInfo returns FALSE past the last device.
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        const uint32_t number = device_com_number(set, &device);
        if (number == 0) continue;
        PortDetails& found = details[number];
        // FALSE when the device has no friendly name: it stays empty.
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE*>(found.friendly), sizeof found.friendly - 1,
                                               nullptr)) {
            found.friendly[0] = '\0';
        }
        usb_text_above(device.DevInst, found.usb, sizeof found.usb);
    }
    (void)SetupDiDestroyDeviceInfoList(set);  // nothing is lost if it fails
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

uint32_t port_list_print() {
    bool listed[PORT_COM_MAX + 1] = {};
    serialcomm_read(listed);
    static PortDetails details[PORT_COM_MAX + 1];  // some 28 KiB: kept off the stack
    std::memset(details, 0, sizeof details);
    details_read(details);
    uint32_t count = 0;
    for (uint32_t number = 1; number <= PORT_COM_MAX; ++number) {
        if (!listed[number]) continue;
        const PortDetails& port = details[number];
        print_message("COM%u%s%s%s%s\n", number, port.friendly[0] != '\0' ? "  " : "", port.friendly,
                      port.usb[0] != '\0' ? "  " : "", port.usb);
        ++count;
    }
    return count;
}
