// install_dirs.h - where the installation lives: the base directory and the
// per-purpose directories (such as etc) stored in the registry under
// "SOFTWARE\Quorvix\QX Zentrim\Directories", each value looked up for the
// current user before the machine.
#pragma once

inline constexpr const char* kProductKey = "SOFTWARE\\Quorvix\\QX Zentrim";
inline constexpr int kEtcDirectorySize = 1024;

// Value value_name of the product key (joined with subkey when given), the
// user's hive first, then the machine's. Returns the length of the text in
// buf, or -1 when neither hive has it (errno ENOENT) or a stored value does
// not fit in size (errno ERANGE).
int get_registry_value(const char* subkey, const char* value_name, char* buf, int size);

// The "BaseDirectory" value. When it is missing the program cannot run: the
// message goes to standard error and the system log and the process exits
// with status 2.
int get_base_directory(char* buf, int size);

// The value name under "Directories", or else the base directory with "/"
// and name appended. Returns the length, or -1 (errno ENAMETOOLONG) when
// the stored value or the result does not fit in size; nothing is cut.
int get_directory(const char* name, char* buf, int size);

// get_directory("etc") into a static buffer of kEtcDirectorySize bytes; none
// when it does not fit.
const char* get_etc_directory();
