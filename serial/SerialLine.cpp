#include "SerialLine.h"

#include <string.h>

namespace {

struct BaudCode {
    uint32_t rate;
    unsigned int code;
};

const BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned int BaudCodeOf(uint32_t rate) {
    for (const BaudCode& b : kBaudCodes)
        if (b.rate == rate)
            return b.code;
    return BOTHER;
}

unsigned int SizeCodeOf(uint32_t dataBits) {
    switch (dataBits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

unsigned int ParityCodeOf(uint32_t parity) {
    switch (parity) {
    case SERIAL_PARITY_ODD: return PARENB | PARODD;
    case SERIAL_PARITY_EVEN: return PARENB;
    // With CMSPAR the parity bit is fixed: PARODD picks mark (1), its absence space (0).
    case SERIAL_PARITY_MARK: return PARENB | CMSPAR | PARODD;
    case SERIAL_PARITY_SPACE: return PARENB | CMSPAR;
    default: return 0;
    }
}

}  // namespace

bool SerialLineBuild(struct termios2* out, uint32_t baud, uint32_t parity, uint32_t dataBits,
                     uint32_t stopBits) {
    if (out == nullptr || baud == 0 || parity > SERIAL_PARITY_SPACE || dataBits < 5 ||
        dataBits > 8 || stopBits > SERIAL_STOPBITS_TWO)
        return false;

    struct termios2 line;
    memset(&line, 0, sizeof(line));
    // All of c_iflag, c_oflag and c_lflag stay 0: no parity checking or
    // marking, no XON/XOFF, no CR/NL translation, no echo, no signals, no
    // canonical lines, so the bytes pass exactly as sent.
    // CLOCAL: carrier and DSR do not gate the port. HUPCL: RTS and DTR drop
    // when the port is closed, as they were raised only while open.
    line.c_cflag = CREAD | CLOCAL | HUPCL | BaudCodeOf(baud) | SizeCodeOf(dataBits) |
                   ParityCodeOf(parity);
    // A UART sends 1.5 stop bits for CSTOPB with 5 data bits and 2 otherwise;
    // termios has no other way to ask for one and a half.
    if (stopBits != SERIAL_STOPBITS_ONE)
        line.c_cflag |= CSTOPB;
    line.c_ispeed = baud;
    line.c_ospeed = baud;
    // VMIN and VTIME 0 (from the memset): a read returns what is buffered, at once.
    *out = line;
    return true;
}

uint32_t SerialLineBaud(const struct termios2& line) {
    const unsigned int code = line.c_cflag & CBAUD;
    if (code == BOTHER)
        return line.c_ospeed;
    for (const BaudCode& b : kBaudCodes)
        if (b.code == code)
            return b.rate;
    return 0;
}

bool SerialLineTaken(const struct termios2& wanted, const struct termios2& actual) {
    if ((wanted.c_cflag & kSerialFormatBits) != (actual.c_cflag & kSerialFormatBits))
        return false;
    const uint64_t want = SerialLineBaud(wanted);
    const uint64_t got = SerialLineBaud(actual);
    const uint64_t diff = want > got ? want - got : got - want;
    return diff * 20 <= want;
}
