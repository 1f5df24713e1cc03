// The working folder a program is told to use: created with its parents
// when missing, so a car's folder can start empty.
#ifndef PELMORA_CONSOLE_FOLDERS_H
#define PELMORA_CONSOLE_FOLDERS_H

// Creates path and any missing parent; 0, or the errno of the step that
// failed (ENOTDIR when a part is not a folder).
int makeFolders(const char* path);

// Creates dir when missing and makes it the working folder; false after
// one line on standard error ("PROGRAM: cannot work in DIR: reason").
bool enterWorkFolder(const char* program, const char* dir);

#endif
