#include "storewalk.h"

#include "core/error.h"
#include "platform/pst/pstengine.h"

#include <QDir>
#include <QFile>

#include <exception>

namespace pw::storewalk {

namespace {

using namespace pw::outlook;

class Walker {
public:
    Walker(const QString &saveDir, bool keep, const Limits &limits)
        : m_dir(saveDir), m_keep(keep), m_limits(limits) {}

    Report report;

    // Runs f; a failure becomes part of the report and the walk goes on.
    template <typename F>
    bool guard(const char *where, F &&f) {
        try {
            f();
            return true;
        } catch (const pw::Error &e) {
            report.errors.push_back(std::string(where) + ": " + e.what());
        } catch (const std::exception &e) {
            report.unexpected.push_back(std::string(where) + ": " + e.what());
        } catch (...) {
            report.unexpected.push_back(std::string(where) + ": unknown exception");
        }
        return false;
    }

    void folder(const FolderPtr &f, int depth) {
        if (!f)
            return;
        if (depth > m_limits.depth || m_folders >= m_limits.folders) {
            report.limitReached = true;
            return;
        }
        ++m_folders;
        QString name;
        guard("folder name", [&] { name = f->name(); });
        ++report.folderVisits[name.toStdString()];
        guard("items", [&] {
            const ItemsPtr items = f->Items();
            const int count = items ? items->count() : 0;
            for (int i = 1; i <= count; ++i) {
                if (report.items >= m_limits.items) {
                    report.limitReached = true;
                    return;
                }
                ++report.items;
                guard("item", [&] { item(items->Item(i)); });
            }
        });
        guard("subfolders", [&] {
            const FoldersPtr children = f->Folders();
            const int count = children ? children->count() : 0;
            for (int i = 1; i <= count; ++i)
                guard("subfolder", [&] { folder(children->Item(i), depth + 1); });
        });
    }

    void item(const ItemPtr &it) {
        if (!it)
            return;
        guard("class", [&] { (void)it->Class(); });
        guard("subject", [&] { report.subjects.push_back(it->Subject().toStdString()); });
        guard("sender", [&] {
            (void)it->SenderName();
            (void)it->SenderEmailAddress();
            (void)it->SenderEmailType();
        });
        guard("received", [&] { (void)it->ReceivedTime(); });
        guard("body", [&] { (void)it->Body(); });
        guard("entry id", [&] { (void)it->EntryID(); });
        guard("attachments", [&] {
            const AttachmentsPtr attachments = it->Attachments();
            const int count = attachments ? attachments->count() : 0;
            for (int i = 1; i <= count && i <= m_limits.attachments; ++i) {
                ++report.attachments;
                guard("attachment", [&] { attachment(attachments->Item(i)); });
            }
        });
    }

    void attachment(const AttachmentPtr &a) {
        if (!a)
            return;
        QString name;
        guard("attachment name", [&] { name = a->fileName(); });
        const QString path = QDir(m_dir).filePath(QString::number(++m_saved));
        bool partly = false;
        const auto save = [&] {
            try {
                a->SaveAsFile(path);
            } catch (const pw::IncompleteAttachmentError &e) {
                // Reported, and what could be read is kept.
                report.errors.push_back(std::string("save: ") + e.what());
                partly = true;
            }
        };
        if (guard("save", save) || partly) {
            report.saved.push_back({name.toStdString(), m_keep ? path : QString()});
            if (!m_keep)
                QFile::remove(path);
        } else {
            QFile::remove(path);  // nothing kept of a failed save
        }
    }

private:
    QString m_dir;
    bool m_keep;
    Limits m_limits;
    int m_folders = 0;
    int m_saved = 0;
};

}  // namespace

Report walk(const NamespacePtr &ns, const QString &saveDir, bool keepSaved, const Limits &limits) {
    Walker walker(saveDir, keepSaved, limits);
    walker.guard("stores", [&] {
        const FoldersPtr roots = ns->Folders();
        const int count = roots ? roots->count() : 0;
        for (int i = 1; i <= count; ++i)
            walker.guard("store", [&] { walker.folder(roots->Item(i), 0); });
    });
    walker.guard("profile", [&] {
        for (const QString &failure : ns->ProfileFailures())
            walker.report.errors.push_back("profile: " + failure.toStdString());
    });
    return std::move(walker.report);
}

Report walkFile(const QString &storePath, const QString &saveDir, bool keepSaved, const Limits &limits) {
    NamespacePtr ns;
    try {
        ns = pw::pst::createPstApplication({storePath})->GetNamespace(QStringLiteral("MAPI"));
    } catch (const pw::Error &e) {
        Report report;
        report.errors.push_back(std::string("open: ") + e.what());
        return report;
    }
    return walk(ns, saveDir, keepSaved, limits);
}

}  // namespace pw::storewalk
