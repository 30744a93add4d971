#include <gtest/gtest.h>

#include <QMouseEvent>
#include <QTest>

#include "link_label.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

struct AppFirst {
    AppFirst() { App(); }
};

class LinkTest : public ::testing::Test, private AppFirst {
  protected:
    void SetUp() override {
        link.setText(QStringLiteral("Maker"));
        link.SetUrl(MakeAuthorAddress(QStringLiteral("abc")));
        link.SetOpener([this](const QUrl& url, QString* reason) {
            opened.push_back(url);
            if (!openSucceeds)
                *reason = QStringLiteral("A sharing violation occurred. ");
            return openSucceeds;
        });
        link.SetFailureSink([this](const QString& m) { failures.push_back(m); });
        link.resize(80, 20);
    }
    void MoveOver() {
        QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), QPointF(5, 5), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QApplication::sendEvent(&link, &move);
    }

    CLinkLabel link;
    std::vector<QUrl> opened;
    std::vector<QString> failures;
    bool openSucceeds = true;
};

}  // namespace

TEST_F(LinkTest, AddressIsBaseFollowedByEncodedAccount) {
    EXPECT_EQ(MakeAuthorAddress(QStringLiteral("abc")), QString::fromLatin1(kMemberPageBase) + "abc");
    EXPECT_TRUE(QString::fromLatin1(kMemberPageBase).endsWith('/'));
    // Nothing in the account can leave the member path.
    EXPECT_EQ(MakeAuthorAddress(QStringLiteral("../x?y#z&\"; rm")),
              QString::fromLatin1(kMemberPageBase) + "..%2Fx%3Fy%23z%26%22%3B%20rm");
    EXPECT_EQ(MakeAuthorAddress(QString::fromUtf8("张")), QString::fromLatin1(kMemberPageBase) + "%E5%BC%A0");
    EXPECT_EQ(link.toolTip(), link.Url());
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(LinkTest, ClickOpensAndMarksVisited) {
    EXPECT_EQ(link.CurrentColor(), QColor(0, 0, 238));
    QTest::mouseClick(&link, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].toString(QUrl::FullyEncoded), link.Url());
    EXPECT_TRUE(link.IsVisited());
    EXPECT_FALSE(link.IsHovering());
    EXPECT_EQ(link.CurrentColor(), QColor(85, 26, 139));
    EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(85, 26, 139));
    EXPECT_TRUE(failures.empty());
}

TEST_F(LinkTest, FailureShowsReasonAndIsNotVisited) {
    openSucceeds = false;
    link.Follow();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], QStringLiteral("Unable to open hyperlink:\n\nA sharing violation occurred. "));
    EXPECT_FALSE(link.IsVisited());
    EXPECT_EQ(link.CurrentColor(), QColor(0, 0, 238));
}

TEST_F(LinkTest, OnlyWebAddressesAreOpened) {
    for (const char* bad : {"file:///etc/passwd", "javascript:alert(1)", "t", "ftp://host/x", "http://"}) {
        link.SetUrl(QString::fromLatin1(bad));
        link.Follow();
    }
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(failures.size(), 5u);
    EXPECT_TRUE(failures[0].startsWith(QStringLiteral("Unable to open hyperlink:\n\n")));
    EXPECT_TRUE(failures[0].contains(QStringLiteral("http")));
}

TEST_F(LinkTest, HoverUnderlinesAndLeavingRemovesItWithinOneTick) {
    QPoint cursor = link.mapToGlobal(QPoint(5, 5));
    link.SetCursorSource([&] { return cursor; });
    MoveOver();
    EXPECT_TRUE(link.IsHovering());
    EXPECT_TRUE(link.font().underline());
    EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(255, 0, 0));
    // Still inside after a tick: stays underlined.
    QTest::qWait(150);
    EXPECT_TRUE(link.font().underline());
    cursor = link.mapToGlobal(QPoint(500, 500));
    QTest::qWait(160);
    EXPECT_FALSE(link.IsHovering());
    EXPECT_FALSE(link.font().underline());
    EXPECT_EQ(link.palette().color(QPalette::WindowText), QColor(0, 0, 238));
}
