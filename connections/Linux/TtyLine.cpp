#include "connections/Linux/TtyLine.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {

struct SpeedEntry {
  uint32_t baud;
  speed_t speed;
};

constexpr SpeedEntry kSpeeds[] = {{300, B300},      {600, B600},       {1200, B1200},     {2400, B2400},
                                  {4800, B4800},    {9600, B9600},     {19200, B19200},   {38400, B38400},
                                  {57600, B57600},  {115200, B115200}, {230400, B230400}, {460800, B460800},
                                  {921600, B921600}};

}  // namespace

namespace TtyLine {

speed_t SpeedOf(uint32_t baudRate) {
  for (const SpeedEntry& e : kSpeeds)
    if (e.baud == baudRate) return e.speed;
  return B0;
}

uint32_t BaudOf(speed_t speed) {
  for (const SpeedEntry& e : kSpeeds)
    if (e.speed == speed) return e.baud;
  return 0;
}

bool Apply(const LineSettings& s, termios* tio) {
  const speed_t speed = SpeedOf(s.baudRate);
  if (speed == B0 || s.byteSize < 5 || s.byteSize > 8 || s.parity > 4 || s.stopBits > 2) return false;
  cfmakeraw(tio);
  tio->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  tio->c_cflag |= CLOCAL | CREAD;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio->c_cflag |= kSizes[s.byteSize - 5];
  switch (s.parity) {
    case 1:
      tio->c_cflag |= PARENB | PARODD;
      break;
    case 2:
      tio->c_cflag |= PARENB;
      break;
    case 3:
      tio->c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 4:
      tio->c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  // One and a half stop bits do not exist on a tty: two is the nearest.
  if (s.stopBits != 0) tio->c_cflag |= CSTOPB;
  tio->c_iflag &= ~(IXON | IXOFF | IXANY);
  // Reads return as soon as one byte is there; the descriptor is non-blocking, so an empty
  // line answers EAGAIN and a hung-up one answers 0.
  tio->c_cc[VMIN] = 1;
  tio->c_cc[VTIME] = 0;
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);
  return true;
}

bool SetClosingWait(int fd, unsigned short centiseconds) {
  static_assert(kNoClosingWait == ASYNC_CLOSING_WAIT_NONE);
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return false;
  if (serial.closing_wait == centiseconds) return true;
  serial.closing_wait = centiseconds;
  return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

LineSettings Read(const termios& tio) {
  LineSettings s;
  s.baudRate = BaudOf(cfgetospeed(&tio));
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      s.byteSize = 5;
      break;
    case CS6:
      s.byteSize = 6;
      break;
    case CS7:
      s.byteSize = 7;
      break;
    default:
      s.byteSize = 8;
      break;
  }
  if (!(tio.c_cflag & PARENB))
    s.parity = 0;
  else if (tio.c_cflag & CMSPAR)
    s.parity = (tio.c_cflag & PARODD) ? 3 : 4;
  else
    s.parity = (tio.c_cflag & PARODD) ? 1 : 2;
  s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
  return s;
}

}  // namespace TtyLine
