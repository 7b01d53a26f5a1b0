// ioctl on Win32: only TIOCGWINSZ, the size of a console's window.
#ifndef QV_WIN32_SYS_IOCTL_H
#define QV_WIN32_SYS_IOCTL_H

#define TIOCGWINSZ 0x5413

struct winsize {
  unsigned short ws_row;
  unsigned short ws_col;
  unsigned short ws_xpixel;
  unsigned short ws_ypixel;
};

#ifdef __cplusplus
extern "C" {
#endif
// TIOCGWINSZ on a console fills a struct winsize; anything else fails with
// ENOTTY.
int ioctl(int fd, unsigned long request, ...);
#ifdef __cplusplus
}
#endif

#endif
