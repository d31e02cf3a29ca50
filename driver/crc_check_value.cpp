// The 16-bit check value the child device's identifiers carry after the
// manufacturer and model, computed a nibble at a time from two small tables.
#include "nrvusb.h"

static const USHORT LowNibbleTable[16] = {
    0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241,
    0xC601, 0x06C0, 0x0780, 0xC741, 0x0500, 0xC5C1, 0xC481, 0x0440,
};

// The last entry differs from the usual CRC-16 value on purpose: identifiers
// already installed on machines were made with it.
static const USHORT HighNibbleTable[16] = {
    0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00, 0x2800, 0xE401,
    0xA001, 0x6C00, 0x7800, 0xB401, 0x5000, 0x9C01, 0x8801, 0x4600,
};

VOID Get_CRC_CheckSum(PUCHAR Data, ULONG Length, PULONG CheckSum) {
  ULONG value = *CheckSum;

  for (ULONG offset = 0; offset < Length; offset++) {
    ULONG index = (Data[offset] ^ value) & 0xFF;
    value = LowNibbleTable[index & 0x0F] ^ HighNibbleTable[index >> 4] ^ (value >> 8);
  }
  *CheckSum = value;
}
