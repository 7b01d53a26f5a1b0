// Terminal modes on Win32: a console's input mode. ECHO is the console's
// echo, ICANON its line input; the other flags are kept but change nothing.
// A descriptor that is not a console fails with ENOTTY.
#ifndef QV_WIN32_TERMIOS_H
#define QV_WIN32_TERMIOS_H

typedef unsigned int tcflag_t;
typedef unsigned char cc_t;

#define NCCS 32
#define VTIME 5
#define VMIN 6

#define ISIG 0x0001
#define ICANON 0x0002
#define ECHO 0x0008
#define ECHONL 0x0040

#define TCSANOW 0
#define TCSADRAIN 1
#define TCSAFLUSH 2

struct termios {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_cc[NCCS];
};

#ifdef __cplusplus
extern "C" {
#endif
int tcgetattr(int fd, struct termios* modes);
int tcsetattr(int fd, int when, const struct termios* modes);
#ifdef __cplusplus
}
#endif

#endif
