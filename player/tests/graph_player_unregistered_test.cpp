// Opening a lesson when the reader plug-in is not registered (the test runs
// with an empty registry): both failures are reported, then the graph is gone.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "courseware_format.h"
#include "graph_player.h"
#include "report_message.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

TEST(Open, AnUnregisteredReaderIsReportedTwice) {
    App();
    std::vector<std::string> messages;
    SetReportMessageSink([&](const std::string& m) { messages.push_back(m); });
    QTemporaryDir dir;
    const std::string path = (dir.path() + "/a.zmr").toStdString();
    WriteFile(path, LessonBytes({}));
    CGraphPlayer player;
    EXPECT_EQ(player.Open(path.c_str()), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(player.State(), PlayState::Closed);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "CreateFilter: Failed to create filter!  hr=0x80040154\n");
    EXPECT_EQ(messages[1], "FAILED(hr=0x80040154) in CUtil::CreateFilter(CLSID_ZmReader, &m_pReader)\n");
    SetReportMessageSink({});
}
