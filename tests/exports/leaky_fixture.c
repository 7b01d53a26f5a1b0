/* A library with one documented export and one that leaks. */
__attribute__((visibility("default"))) int DocumentedExport(void) { return 1; }
__attribute__((visibility("default"))) int UndocumentedLeak(void) { return 2; }
static int Hidden(void) { return 3; }
int HiddenByDefault(void) { return Hidden(); }
