#pragma once
// The steps a save takes around each attachment besides writing it:
// whether it is wanted, which folder it goes to (--tree), and whether what
// was written is kept (sizes, names of files out of a wrapper,
// --skip-existing, --dedupe).
#include "cli/mailsources.h"
#include "cli/moreoptions.h"
#include "cli/savepolicy.h"
#include "download/attachmentsaver.h"

#include <QHash>
#include <QString>

#include <functional>
#include <memory>

namespace pw::cli {

class SaveSteps {
public:
    // `root`: the folder given by --to; `note` hears what is left out and
    // why (for -v).
    SaveSteps(QString root, const MoreOptions &options, bool keepTnef, bool dryRun,
              std::function<void(const QString &)> note);

    // Before writing: false when the attachment is not to be saved.
    bool wanted(const Message &message, const Attachment &attachment);
    // The saver for the message's folder: `flat` unless --tree. Throws
    // pw::Error when the folder cannot be made.
    AttachmentSaver &saverFor(const Message &message, AttachmentSaver &flat);
    // After writing `saved` for `attachment`: false when the file was not
    // to be kept, and is gone again.
    bool keep(const Attachment &attachment, const AttachmentSaver::Saved &saved);

    // ", 3 already in the folder, 12 duplicates not saved" for the rules in
    // force; empty when none is.
    QString summary() const;

private:
    QString m_root;
    const MoreOptions &m_options;
    bool m_keepTnef;
    bool m_dryRun;
    std::function<void(const QString &)> m_note;
    SavePolicy m_policy;
    QHash<QString, std::shared_ptr<AttachmentSaver>> m_treeSavers;
    qint64 m_alreadyThere = 0;
    qint64 m_duplicates = 0;
};

} // namespace pw::cli
