#include <gtest/gtest.h>

#include <memory>

#include "RegistryFixture.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

namespace {

using ServerEditTest = RegistryFixture;

ServerEditResult create(const char16_t* name, const char16_t* group, int port)
{
    auto d = makeDefinition(name, group, port);
    d->contentstype.set(u"html", u"text/html");
    d->contentstype.set(u"png", u"image/png");
    return CQvWebServerMngr::getInstance()->finishEdit(QvString(), std::move(d), ServerEditAction::Confirm);
}

TEST_F(ServerEditTest, CreateRegistersAndRefusesATakenName)
{
    EXPECT_EQ(create(u"web", u"None", 8000), ServerEditResult::Added);
    EXPECT_EQ(create(u"web", u"None", 9000), ServerEditResult::NameTaken);
    EXPECT_EQ(CQvWebServerMngr::getInstance()->getDefinition(u"web")->port, 8000);
}

TEST_F(ServerEditTest, ModifyKeepsTypesRemovedInTheCopy)
{
    ASSERT_EQ(create(u"web", u"None", 8000), ServerEditResult::Added);
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    auto copy = registry->beginEdit(u"web");
    ASSERT_NE(copy, nullptr);
    copy->port = 8100;
    copy->contentstype.erase(u"png");
    copy->contentstype.set(u"html", u"text/html; charset=UTF-8");
    EXPECT_EQ(registry->finishEdit(u"web", std::move(copy), ServerEditAction::Confirm), ServerEditResult::Updated);

    const _tag_WebServerInfo* d = registry->getDefinition(u"web");
    EXPECT_EQ(d->port, 8100);
    EXPECT_EQ(*d->contentstype.find(u"html"), u"text/html; charset=UTF-8");
    EXPECT_NE(d->contentstype.find(u"png"), nullptr);  // copying merges the tables
    EXPECT_NE(userValue("session.ini", "WEBSVRLIST", "web").find("\"port\":8100"), std::string::npos);
}

TEST_F(ServerEditTest, RenameRemovesTheOldKeyAndAddsTheNewOne)
{
    ASSERT_EQ(create(u"old", u"Team", 8000), ServerEditResult::Added);
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    auto copy = registry->beginEdit(u"old");
    copy->name = u"new";
    EXPECT_EQ(registry->finishEdit(u"old", std::move(copy), ServerEditAction::Confirm), ServerEditResult::Renamed);
    EXPECT_EQ(registry->getDefinition(u"old"), nullptr);
    ASSERT_NE(registry->getDefinition(u"new"), nullptr);
    EXPECT_EQ(userValue("session.ini", "WEBSVRLIST", "old"), "");
    EXPECT_NE(userValue("session.ini", "WEBSVRLIST", "new").find("\"name\":\"new\""), std::string::npos);
}

TEST_F(ServerEditTest, RenameOntoARegisteredNameLosesNothing)
{
    ASSERT_EQ(create(u"one", u"None", 8001), ServerEditResult::Added);
    ASSERT_EQ(create(u"two", u"None", 8002), ServerEditResult::Added);
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    auto copy = registry->beginEdit(u"one");
    copy->name = u"two";
    copy->port = 9999;
    EXPECT_EQ(registry->finishEdit(u"one", std::move(copy), ServerEditAction::Confirm), ServerEditResult::NameTaken);
    ASSERT_NE(registry->getDefinition(u"one"), nullptr);
    EXPECT_EQ(registry->getDefinition(u"one")->port, 8001);
    EXPECT_EQ(registry->getDefinition(u"two")->port, 8002);
    simulateExit();
    EXPECT_NE(userValue("session.ini", "WEBSVRLIST", "one").find("\"port\":8001"), std::string::npos);
    EXPECT_NE(userValue("session.ini", "WEBSVRLIST", "two").find("\"port\":8002"), std::string::npos);
}

TEST_F(ServerEditTest, DeleteAndCancel)
{
    ASSERT_EQ(create(u"web", u"None", 8000), ServerEditResult::Added);
    CQvWebServerMngr* registry = CQvWebServerMngr::getInstance();
    auto copy = registry->beginEdit(u"web");
    copy->port = 1;
    EXPECT_EQ(registry->finishEdit(u"web", std::move(copy), ServerEditAction::Cancel), ServerEditResult::Cancelled);
    EXPECT_EQ(registry->getDefinition(u"web")->port, 8000);

    // The create dialog's Delete button counts as Cancel.
    auto fresh = std::make_unique<_tag_WebServerInfo>();
    fresh->name = u"never";
    EXPECT_EQ(registry->finishEdit(QvString(), std::move(fresh), ServerEditAction::Delete),
              ServerEditResult::Cancelled);
    EXPECT_EQ(registry->getDefinition(u"never"), nullptr);

    EXPECT_EQ(registry->finishEdit(u"web", registry->beginEdit(u"web"), ServerEditAction::Delete),
              ServerEditResult::Deleted);
    EXPECT_EQ(registry->getDefinition(u"web"), nullptr);
    EXPECT_EQ(userValue("session.ini", "WEBSVRLIST", "web"), "");
    EXPECT_EQ(registry->beginEdit(u"web"), nullptr);
}

}  // namespace
