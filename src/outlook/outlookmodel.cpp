#include "outlook/outlookmodel.h"

#include "core/error.h"

#include <utility>

namespace pw::outlook {

namespace {

ObjectFactory::Creator &currentCreator() {
    static ObjectFactory::Creator creator;
    return creator;
}

bool isClass(const QString &messageClass, QLatin1StringView base) {
    // A class and every class under it: "IPM.Note" covers "IPM.Note.SMIME"
    // but not "IPM.Notes".
    return messageClass.compare(base, Qt::CaseInsensitive) == 0
        || (messageClass.size() > base.size()
            && messageClass.startsWith(base, Qt::CaseInsensitive)
            && messageClass.at(base.size()) == QLatin1Char('.'));
}

} // namespace

ApplicationPtr ObjectFactory::create(const QString &className) {
    // Copy first: a creator may install another one while it runs.
    const Creator creator = currentCreator();
    if (!creator)
        throw Error(QStringLiteral("Cannot create the object \"%1\": no mail program is available on this computer.")
                        .arg(className));
    ApplicationPtr application = creator(className);
    if (!application)
        throw Error(QStringLiteral("Cannot create the object \"%1\".").arg(className));
    return application;
}

ObjectFactory::Creator ObjectFactory::setCreator(Creator creator) {
    return std::exchange(currentCreator(), std::move(creator));
}

int objectClassFor(const QString &rawClass) {
    const QString messageClass = rawClass.trimmed().isEmpty() ? QStringLiteral("IPM.Note") : rawClass.trimmed();
    if (messageClass.startsWith(QLatin1StringView("REPORT."), Qt::CaseInsensitive))
        return olReport;
    // Most specific first: "IPM.TaskRequest.Accept" before "IPM.TaskRequest".
    static const struct {
        QLatin1StringView base;
        int value;
    } table[] = {
        {QLatin1StringView("IPM.Note"), olMail},
        {QLatin1StringView("IPM.Post"), olPost},
        {QLatin1StringView("IPM.Contact"), olContact},
        {QLatin1StringView("IPM.DistList"), olDistributionList},
        {QLatin1StringView("IPM.Appointment"), olAppointment},
        {QLatin1StringView("IPM.Schedule.Meeting.Request"), olMeetingRequest},
        {QLatin1StringView("IPM.Schedule.Meeting.Canceled"), olMeetingCancellation},
        {QLatin1StringView("IPM.Schedule.Meeting.Resp.Neg"), olMeetingResponseNegative},
        {QLatin1StringView("IPM.Schedule.Meeting.Resp.Pos"), olMeetingResponsePositive},
        {QLatin1StringView("IPM.Schedule.Meeting.Resp.Tent"), olMeetingResponseTentative},
        {QLatin1StringView("IPM.TaskRequest.Update"), olTaskRequestUpdate},
        {QLatin1StringView("IPM.TaskRequest.Accept"), olTaskRequestAccept},
        {QLatin1StringView("IPM.TaskRequest.Decline"), olTaskRequestDecline},
        {QLatin1StringView("IPM.TaskRequest"), olTaskRequest},
        {QLatin1StringView("IPM.Task"), olTask},
        {QLatin1StringView("IPM.StickyNote"), olNote},
        {QLatin1StringView("IPM.Activity"), olJournal},
        {QLatin1StringView("IPM.Document"), olDocument},
    };
    for (const auto &entry : table) {
        if (isClass(messageClass, entry.base))
            return entry.value;
    }
    // Outlook opens items of classes it has no form for with the post form.
    return olPost;
}

} // namespace pw::outlook
