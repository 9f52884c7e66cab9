// Splitting a path into its file name and extension, in place.
#pragma once

// Splits `path` (a modifiable NUL-terminated text; the directory separator is the
// backslash only, the extension separator the full stop) and returns a pointer
// to the start of the file name inside it. The file name is lower-cased (A-Z
// only), and its last full stop is replaced by a NUL; `*extension` then points
// just after it (at the terminator when the name ends in the full stop), or is
// null when the name has no extension. The directory part keeps its case. The
// first character is lower-cased but never taken as a separator.
// An empty path is returned as it is, with `*extension` null; so is a null path.
char* SplitPath(char* path, char** extension);
