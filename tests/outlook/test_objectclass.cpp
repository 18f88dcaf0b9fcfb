// Classification of message classes: the scan lists only class 43, so a
// class wrongly taken for mail (or mail taken for something else) changes
// what the user sees.
#include "outlook/outlookmodel.h"

#include <gtest/gtest.h>

using namespace pw::outlook;

TEST(ObjectClass, MailAndEverythingUnderIt) {
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Note")), olMail);
    EXPECT_EQ(objectClassFor(QStringLiteral("ipm.note")), olMail);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Note.SMIME.MultipartSigned")), olMail);
    EXPECT_EQ(objectClassFor(QString()), olMail) << "a missing class reads as IPM.Note";
    EXPECT_NE(objectClassFor(QStringLiteral("IPM.Notes")), olMail);
    EXPECT_NE(objectClassFor(QStringLiteral("IPM")), olMail);
    EXPECT_NE(objectClassFor(QStringLiteral("IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}")), olMail);
}

TEST(ObjectClass, OtherKindsAreToldApart) {
    EXPECT_EQ(objectClassFor(QStringLiteral("REPORT.IPM.Note.NDR")), olReport);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Post")), olPost);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Contact")), olContact);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.DistList")), olDistributionList);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Appointment")), olAppointment);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Schedule.Meeting.Request")), olMeetingRequest);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Schedule.Meeting.Canceled")), olMeetingCancellation);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Schedule.Meeting.Resp.Neg")), olMeetingResponseNegative);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Schedule.Meeting.Resp.Pos")), olMeetingResponsePositive);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Schedule.Meeting.Resp.Tent")), olMeetingResponseTentative);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Task")), olTask);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.TaskRequest")), olTaskRequest);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.TaskRequest.Update")), olTaskRequestUpdate);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.TaskRequest.Accept")), olTaskRequestAccept);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.TaskRequest.Decline")), olTaskRequestDecline);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.StickyNote")), olNote);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Activity")), olJournal);
    EXPECT_EQ(objectClassFor(QStringLiteral("IPM.Document.Word.Document.8")), olDocument);
}
