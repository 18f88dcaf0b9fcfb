// Stores of unusual and hostile shapes, each with what a sound reader makes
// of it: large fan-outs, cycles in every structure that can hold one, deep
// attached messages, broken UTF-16, a sound store of the offline 4 KiB-page
// layout with compressed blocks. Tests open them through the program's
// object model; the fuzzer and the damage sweep use them as seeds.
#pragma once

#include "pstwriter.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pstwriter::shapes {

enum class Damage {
    None,      // no part of the store is damaged: any error is a fault
    Required,  // the damage must be reported
    Either,    // legal but costly (a reader may give up on the item and say so)
};

struct Expected {
    using File = std::pair<std::string, std::string>;  // attachment file name (UTF-8), bytes
    // Listed with this name and saved byte for byte.
    std::vector<File> files;
    // Saved byte for byte, or else damage reported.
    std::vector<File> filesOrDamage;
    // Found, byte for byte, inside a saved attached message (at any depth).
    std::vector<File> nestedFiles;
    // Each walked exactly once.
    std::vector<std::string> folders;
    // Subjects that must be listed (UTF-8).
    std::vector<std::string> subjects;
    // Listed, or else damage reported (an item a reader may give up on whole).
    std::vector<std::string> subjectsOrDamage;
    Damage damage = Damage::None;
};

struct Shape {
    std::string name;
    std::unique_ptr<Store> store;
    Expected expected;
};

// Names of every shape, in a fixed order.
std::vector<std::string> names();
// Builds one shape; throws std::invalid_argument for an unknown name.
Shape make(const std::string &name);

}  // namespace pstwriter::shapes
