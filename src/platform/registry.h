// registry.h - a file-backed stand-in for the two registry hives the system
// reads: the current user's and the machine's.
//
// A key is a directory, a value a file holding the value's text; a key path
// such as "SOFTWARE\Quorvix\QX Zentrim" names nested directories. Names are
// compared without case (an existing spelling is reused when writing), and
// names beginning with '.' or holding '/' are refused, so no name can leave
// its root. A value is replaced by writing a temporary file and renaming it
// over the old one, so readers see the old or the new text, never a mix. One
// trailing line feed in a value file is not part of the value (files written
// with echo read as expected); the writer always ends the file with one.
//
// Roots: ZENTRIM_REGISTRY_HKCU, else $XDG_CONFIG_HOME/zentrim/registry, else
// ~/.config/zentrim/registry for the user; ZENTRIM_REGISTRY_HKLM, else
// /etc/zentrim/registry for the machine. Callable from any thread.
#pragma once
#include <cstddef>

namespace platform {

enum class RegistryRoot { CurrentUser, LocalMachine };

inline constexpr const char* kRegistryUserEnv = "ZENTRIM_REGISTRY_HKCU";
inline constexpr const char* kRegistryMachineEnv = "ZENTRIM_REGISTRY_HKLM";

// The root's directory into buf; false (errno ENAMETOOLONG or ENOENT when
// no home directory is known) when it cannot be given.
bool registry_root_dir(RegistryRoot root, char* buf, size_t size);

// Reads value name of key into buf (terminated). Returns the length of the
// text, or -1 with errno: ENOENT key or value missing, ERANGE buf too small
// (nothing is cut), EINVAL a bad name, or the system's error.
long registry_read(RegistryRoot root, const char* key, const char* name, char* buf, size_t size);
// Creates the key's directories as needed and replaces the value. 0 or -1
// with errno.
int registry_write(RegistryRoot root, const char* key, const char* name, const char* text);
// 0, or -1 with errno (ENOENT when key or value is missing).
int registry_delete_value(RegistryRoot root, const char* key, const char* name);
// Deletes a key with its values; a key with subkeys is refused (ENOTEMPTY).
int registry_delete_key(RegistryRoot root, const char* key);

}  // namespace platform
