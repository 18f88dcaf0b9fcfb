#pragma once
// The scan's walk over a mail store, as the two engine fuzz targets share it:
// every folder, item properties the list and the search read, and the names
// of the attachments. Limits keep one run cheap on a large store.
#include "outlook/outlookmodel.h"

namespace pwfuzz {

struct WalkLimits {
    int folders = 64;
    int items = 96;
    int attachmentsPerItem = 8;
    int depth = 32;
};

// Reads everything the scan reads from one item. pw::Error from a member is
// an answer, not a failure: it is swallowed and the next member is read.
void readItem(const pw::outlook::ItemPtr &item, int attachmentLimit);

// Walks the namespace's stores; returns the number of items read.
int walkNamespace(const pw::outlook::NamespacePtr &ns, const WalkLimits &limits);

} // namespace pwfuzz
