// Writes the crafted stores of shapes.h, one <name>.pst (or .ost, for a
// store of the offline layout) each, into a folder.
//
//     mkshapes <folder> [name...]
#include "shapes.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: mkshapes <folder> [name...]\nshapes:");
        for (const std::string &name : pstwriter::shapes::names())
            std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    std::vector<std::string> names(argv + 2, argv + argc);
    if (names.empty())
        names = pstwriter::shapes::names();
    try {
        for (const std::string &name : names) {
            const auto shape = pstwriter::shapes::make(name);
            const bool offline = shape.store->options().format == pstwriter::Format::Ost4k;
            shape.store->write(std::string(argv[1]) + "/" + name + (offline ? ".ost" : ".pst"));
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "mkshapes: %s\n", e.what());
        return 1;
    }
    return 0;
}
