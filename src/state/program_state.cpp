#include "state/program_state.h"

SerialPort port;
uint32_t current_baud;
LinkState link_state;
DeviceIdentity device;
BootloaderInfo bootloader_info;
const FirmwareImage* selected_image;
int32_t update_done;
int32_t ready;
uint32_t watch_timer;
char port_label[PORT_LABEL_SIZE];
uint8_t image_file_bytes[IMAGE_FILE_MAX];
FirmwareImage image_file;
ImageTrustRecord image_trust;
BatchRun batch;
