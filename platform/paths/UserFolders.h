#pragma once
// The user's folders as the XDG base directory rules name them. Plain C++ with no
// dependencies, so the programs, their tools and the server share one reading of them.

#include <string>

namespace velmo {

// $HOME when set and not empty, else the password database's entry; "" when neither.
std::string homeFolder();

// $XDG_CONFIG_HOME when it is absolute, else HOME/.config; "" without a home folder.
std::string configHome();

// $XDG_DATA_HOME when it is absolute, else HOME/.local/share; "" without a home folder.
std::string dataHome();

}  // namespace velmo
