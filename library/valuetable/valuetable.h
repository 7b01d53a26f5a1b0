/* Value tables: small XML files of rows, each row a set of named text
 * properties, opened from a file or from XML text, walked, searched, changed
 * and saved through the ValueTable_ exports of libqvaiso.so.
 *
 * File format: the document element "BASEELEMENT"; every child node of it is a
 * row ("ELEMENT" for the rows created here); a property is a child element of
 * the row, named after the property, whose text is the value. A property may
 * also be read from an attribute of the row element, but is never written as
 * one. Files are saved as UTF-8 XML, replacing the old file atomically.
 *
 * Handles: ValueTable_OpenFile creates a handle when the variable it is given
 * holds null; ValueTable_Free releases it. Wherever a handle argument is null,
 * the operation uses one process-wide default table instead. A handle is not
 * thread-safe: each thread uses its own handle, or callers serialise; the
 * default table is shared by every caller in the process, without a lock.
 *
 * Strings are NUL-terminated and passed through as bytes (UTF-8). Property
 * texts returned by ValueTable_GetProperty are 1024-byte buffers owned by the
 * caller until released with ValueTable_FreeProperty, and by no other means.
 *
 * Diagnostics of the XML layer go to the standard output. */
#ifndef QVAISO_VALUETABLE_H
#define QVAISO_VALUETABLE_H

#include "library/qvaiso_api.h"

QVAISO_BEGIN_DECLS

/* One open table: its document, its current row and its file name. Opaque. */
typedef struct ValueTableHandle ValueTableHandle;

/* Opens the file at `path` into *handle (a new handle when *handle is null; the
 * default table when `handle` itself is null). A missing or unreadable file
 * gives an empty table. The current row becomes the first row. 1 on success,
 * 0 when not even an empty table could be made or `path` is null. */
QVAISO_EXPORT int ValueTable_OpenFile(const char* path, ValueTableHandle** handle);

/* Gives the table a fresh document parsed from `xml` (an empty table when it
 * does not parse) and no file name. `reserved` is not used. 1 or 0 as above;
 * 0 for a null `xml`. */
QVAISO_EXPORT int ValueTable_OpenBuffer(const char* xml, const char* reserved,
                                        ValueTableHandle* handle);

/* Current row = first row; 1 if there is one, else 0. */
QVAISO_EXPORT int ValueTable_FindFirstRow(ValueTableHandle* handle);

/* Current row = the row after the current one; 1 if there is one, else 0
 * (also 0 without a current row). */
QVAISO_EXPORT int ValueTable_FindNextRow(ValueTableHandle* handle);

/* Current row = the first "ELEMENT" row with a property `name` whose text
 * equals `value` exactly; 1 if found, else 0 and no current row. The value is
 * compared as data: no character in it changes the search. */
QVAISO_EXPORT int ValueTable_SetRowByPropValue(const char* name, const char* value,
                                               ValueTableHandle* handle);

/* Sets *text to null, then, with a current row that has the property (the
 * attribute of that name when `attribute` is non-zero), stores in *text a
 * 1024-byte buffer holding the value (at most 1023 bytes, cut at a character
 * boundary) and its length in *length (when `length` is not null); 1. Else 0. */
QVAISO_EXPORT int ValueTable_GetProperty(const char* name, char** text, int* length,
                                         int attribute, ValueTableHandle* handle);

/* Frees a buffer of ValueTable_GetProperty and sets *text to null; 1
 * (0 when `text` is null). */
QVAISO_EXPORT int ValueTable_FreeProperty(char** text);

/* Sets the property `name` of the current row to `value`, appending the
 * property element when the row lacks it; 1. 0 without a current row, for a
 * name that is not a valid element name, or for a value that is not UTF-8
 * text an XML file can hold. `reserved` is not used. */
QVAISO_EXPORT int ValueTable_SetProperty(const char* name, const char* value, int reserved,
                                         ValueTableHandle* handle);

/* Appends an "ELEMENT" row to "BASEELEMENT" and makes it the current row; 1,
 * or 0 when it could not be created. */
QVAISO_EXPORT int ValueTable_AddRow(ValueTableHandle* handle);

/* Removes the current row; 1 (0 without a current row). The removed row stays
 * the current row, detached, so ValueTable_FindNextRow then gives 0. */
QVAISO_EXPORT int ValueTable_DeleteRow(ValueTableHandle* handle);

/* Saves the table to its file name, replacing the file atomically. 1 on
 * success; 0 when there is no document, no file name (a table opened from a
 * buffer) or the file cannot be written (the old file is then untouched). */
QVAISO_EXPORT int ValueTable_Save(ValueTableHandle* handle);

/* Does nothing; 1. The table stays open. */
QVAISO_EXPORT int ValueTable_Close(ValueTableHandle* handle);

/* Releases the table and its handle; 1. A null handle is ignored. */
QVAISO_EXPORT int ValueTable_Free(ValueTableHandle* handle);

/* Deletes the file; 1 on success, 0 on failure or for a null path. */
QVAISO_EXPORT int ValueTable_DeleteFile(const char* path);

QVAISO_END_DECLS

#endif
