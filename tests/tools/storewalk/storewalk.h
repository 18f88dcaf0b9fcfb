// A walk over every folder, item and attachment of the stores a session
// holds, through the object model the program uses, reading each value the
// program shows and saving every attachment. Shared by the shape tests, the
// damage sweep and the fuzz target, so all three judge a reader alike.
#pragma once

#include "outlook/outlookmodel.h"

#include <QString>

#include <map>
#include <string>
#include <vector>

namespace pw::storewalk {

struct Limits {
    int depth = 64;          // folder nesting followed at most
    int folders = 10000;     // folder visits at most
    int items = 1000000;     // item visits at most
    int attachments = 5000;  // attachments read per item at most
};

struct SavedFile {
    std::string name;  // the attachment's file name, UTF-8
    QString path;      // where the copy was saved (empty when not kept)
};

struct Report {
    std::map<std::string, int> folderVisits;  // by folder name, UTF-8
    std::vector<std::string> subjects;        // UTF-8, in walk order
    std::vector<SavedFile> saved;
    std::vector<std::string> errors;       // pw::Error texts with where they arose
    std::vector<std::string> unexpected;   // exceptions that are not pw::Error: faults
    int items = 0;
    int attachments = 0;
    bool limitReached = false;
};

// Walks every store of the session. Attachments are saved under saveDir,
// one numbered file each; with keepSaved false each copy is removed once
// written (the damage sweep only needs the reading).
Report walk(const outlook::NamespacePtr &ns, const QString &saveDir, bool keepSaved, const Limits &limits = {});

// Opens one store file in a new session and walks it. Failures to open go
// to the report's errors.
Report walkFile(const QString &storePath, const QString &saveDir, bool keepSaved, const Limits &limits = {});

}  // namespace pw::storewalk
