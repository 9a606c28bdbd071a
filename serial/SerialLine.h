// The termios line settings of a serial port, built from the user's choices
// apart from the device, so the mapping can be checked without a real port.
// Uses the kernel's termios2 (arbitrary baud rates through BOTHER); a unit that
// includes this header must not include <termios.h>.
#ifndef MAROVENT_SERIALLINE_H
#define MAROVENT_SERIALLINE_H

#include <asm/termbits.h>

#include <stdint.h>

enum SerialParity {
    SERIAL_PARITY_NONE = 0,
    SERIAL_PARITY_ODD = 1,
    SERIAL_PARITY_EVEN = 2,
    SERIAL_PARITY_MARK = 3,
    SERIAL_PARITY_SPACE = 4,
};

enum SerialStopBits {
    SERIAL_STOPBITS_ONE = 0,
    SERIAL_STOPBITS_ONE_POINT_FIVE = 1,
    SERIAL_STOPBITS_TWO = 2,
};

// Fills out with a raw line: the baud rate (a standard rate as its B code,
// any other as BOTHER), 5 to 8 data bits, the parity, the stop bits, receiver
// on, modem status ignored, no flow control, no input or output processing,
// and reads that return at once. False, with out untouched, for a baud rate
// of 0 or a parity, data-bit or stop-bit value outside its range.
bool SerialLineBuild(struct termios2* out, uint32_t baud, uint32_t parity, uint32_t dataBits,
                     uint32_t stopBits);

// The bits of c_cflag that make up the character format.
static const unsigned int kSerialFormatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// The output baud rate a line carries, from its B code or, for BOTHER, c_ospeed.
uint32_t SerialLineBaud(const struct termios2& line);

// True when a driver took the line as asked: the same character format and a
// baud rate within 5 % (drivers may round an arbitrary rate to what the clock
// can divide). A driver that cannot do a format drops it silently instead of
// failing, so this is the only way to learn of it.
bool SerialLineTaken(const struct termios2& wanted, const struct termios2& actual);

#endif
