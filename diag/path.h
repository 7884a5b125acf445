// The parts of a path, as text: no file is looked at.
#pragma once

#include <string>
#include <string_view>

// The folder that holds path's last component, usable as a path itself:
// "." for a bare name ("a.eq"), "/" for a name in the root ("/a.eq"),
// else everything before the last slash ("x/y/a.eq": "x/y"). Repeated
// slashes before the name are kept ("x//a.eq": "x/").
std::string folder_of(std::string_view path);

// The last component: everything after the last slash ("" when path ends
// in one).
std::string base_of(std::string_view path);

// name as seen from the folder of path: name itself when it is absolute
// or when path has no folder part, else that folder, "/", name
// ("etc/living.profile", "left.eq": "etc/left.eq").
std::string beside(std::string_view path, std::string_view name);
