#pragma once
// The mail-store engine that stands in for Outlook: sessions over the
// profile's .pst/.ost files, read with our own reader.
#include "outlook/outlookmodel.h"

#include <QStringList>

namespace pw::pst {

// The profile's mail files: the files and folders named by
// PARCELWISE_PROFILE (':'-separated; a folder gives its .pst/.ost files in
// name order), else the .pst/.ost files in ~/Documents/Outlook Files.
QStringList profileStorePaths();

// A new session over the profile's files, or over `storePaths`.
outlook::ApplicationPtr createPstApplication();
outlook::ApplicationPtr createPstApplication(const QStringList &storePaths);

// Makes outlook::ObjectFactory create engine sessions for
// "Outlook.Application"; other class names fail.
void installPstEngine();

} // namespace pw::pst
