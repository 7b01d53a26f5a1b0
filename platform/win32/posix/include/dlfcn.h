// dlopen and friends on Win32: LoadLibrary, GetProcAddress, FreeLibrary.
#ifndef QV_WIN32_DLFCN_H
#define QV_WIN32_DLFCN_H

#define RTLD_LAZY 1
#define RTLD_NOW 2
#define RTLD_LOCAL 0
#define RTLD_GLOBAL 0x100
#define RTLD_NOLOAD 4  // only a module already loaded; nothing is loaded

#ifdef __cplusplus
extern "C" {
#endif
void* dlopen(const char* file, int mode);
void* dlsym(void* module, const char* name);
int dlclose(void* module);
// The last failure's text (thread's own), or NULL when there was none since.
char* dlerror(void);
#ifdef __cplusplus
}
#endif

#endif
