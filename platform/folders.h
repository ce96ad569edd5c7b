#pragma once
// The suite's folders on Linux.
//   module folder         the folder of the running program
//   installed folder      <prefix>/lib/vantrel when the program runs from <prefix>/bin and that
//                         folder exists (an installation); else the module folder (the build
//                         tree and a portable tree keep everything beside the programs)
//   plug-ins folder       installed folder + "Plugins/"
//   suite program folder  $VANTREL_PATH, else the installed folder
//   data folder           the shipped Help/, Language/ and Presets/: <prefix>/share/vantrel in
//                         an installation, else the module folder
//   portable              a folder "Portable" in the suite program folder
//   suite data root       $VANTREL_DATA_ROOT; portable: <suite>/Portable/Sys/AppData;
//                         else $XDG_DATA_HOME/Vantrel (~/.local/share/Vantrel)
//   program data folder   suite data root + "Converter/", created if missing
//   shared content folder portable: <suite>/Portable/Extras/Content;
//                         else ($XDG_DOCUMENTS_DIR or ~/Documents) + "/Vantrel"
// An empty result means the folder could not be found or created.
// Thread: any.

#include <string>
#include <string_view>

namespace vt::platform {

[[nodiscard]] std::u16string module_folder();
[[nodiscard]] std::u16string plugins_folder();
[[nodiscard]] std::u16string suite_program_folder();
[[nodiscard]] std::u16string data_folder();
// The installed folder and the data folder of a program in `module`, by what lies beside it.
// Never from the current folder or the library search path, so an installation answers the same
// wherever it is started from.
[[nodiscard]] std::u16string installed_folder_of(std::u16string_view module);
[[nodiscard]] std::u16string data_folder_of(std::u16string_view module);
[[nodiscard]] bool is_portable();
[[nodiscard]] std::u16string suite_data_root();
[[nodiscard]] std::u16string program_data_folder();
[[nodiscard]] std::u16string shared_content_folder();

// A folder named in the text of "user-dirs.dirs" (xdg-user-dirs): the value of the line
// `key="..."` (the last such line), with a leading "$HOME" replaced by `home`; empty when the
// key is not there or its value is neither "$HOME/..." nor an absolute path.
[[nodiscard]] std::u16string user_dir_from(std::string_view text, std::string_view key,
                                           std::u16string_view home);
// The user's documents folder: XDG_DOCUMENTS_DIR from the environment, else from
// $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config), else ~/Documents.
[[nodiscard]] std::u16string documents_folder();
// The configured override when it is not blank, else $TMPDIR, else /tmp.
[[nodiscard]] std::u16string temp_folder(std::u16string_view override_folder = {});

// Keeps what the suite stores for the user to the user alone: 0700 for a folder, 0600 for a
// file, also narrowing wider modes found there. The data root holds code paths that are loaded
// and a journal that is replayed, so nobody else may write it. Failures are ignored.
void keep_private(std::u16string_view path) noexcept;

// An environment variable as UTF-16; empty when unset.
[[nodiscard]] std::u16string environment(const char* name);

} // namespace vt::platform
