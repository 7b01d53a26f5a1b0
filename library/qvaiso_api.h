/* The export boundary of libqvaiso.so.
 *
 * Rules that hold for every export of the library:
 *  - Functions have C linkage and undecorated names; arguments are 32-bit
 *    integers, addresses of integers, NUL-terminated 8-bit strings in the system
 *    code page, or addresses of packed fixed-layout records.
 *  - Results are 32-bit integers: 1 success, 0 failure, unless the family says
 *    otherwise (string encryption adds 10, the abuse register adds 2).
 *  - Output buffers belong to the caller and are never written past the
 *    capacity the export documents. Where the library allocates an output
 *    (Blowfish output, value-table handles and property texts), the paired
 *    export releases it; nothing else allocated here crosses the boundary.
 *  - A null pointer where an address is required gives the failure result;
 *    no export throws, aborts or writes through a null pointer.
 */
#ifndef QVAISO_API_H
#define QVAISO_API_H

#if defined(_WIN32)
/* A module-definition file names the exports of qvaiso.dll. On 32-bit Windows
 * they use the calling convention a Visual Basic Declare expects. */
#if defined(__i386__)
#define QVAISO_EXPORT __attribute__((stdcall))
#else
#define QVAISO_EXPORT
#endif
#else
#define QVAISO_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define QVAISO_BEGIN_DECLS extern "C" {
#define QVAISO_END_DECLS }
#else
#define QVAISO_BEGIN_DECLS
#define QVAISO_END_DECLS
#endif

#endif
