// The domain client without a domain handler: the ad-hoc domain, and the change notifications of
// a domain change (before and after, only while enabled, only for a real change).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "netaudio/discovery/domain_client.h"

namespace {

std::vector<uint32_t> g_phases;

void on_change(domain_client *, void *, const domain_event *event)
{
    g_phases.push_back(event->phase);
}

TEST(DomainClient, WithoutAHandlerTheClientIsInTheAdHocDomain)
{
    domain_client *c = domain_client_new(nullptr, nullptr, on_change, nullptr);
    ASSERT_NE(c, nullptr);
    uint8_t id[DOMAIN_ID_SIZE];
    ASSERT_EQ(domain_client_get_id(c, id), 0);
    EXPECT_TRUE(domain_id_is_adhoc(id));
    EXPECT_EQ(domain_client_get_flags(c), 3u);
    EXPECT_EQ(domain_client_get_state(c), 3u);
    domain_info adhoc;
    memset(adhoc.id, 0xFF, sizeof adhoc.id);
    adhoc.flags = 3;
    EXPECT_EQ(domain_client_set_info(c, &adhoc), QNB_ERR_NOTSUPPORTED);
    EXPECT_EQ(domain_client_call_handler(c, 1, nullptr), QNB_ERR_NOTCONN);
    domain_client_delete(c);
}

TEST(DomainClient, AChangeIsAnnouncedBeforeAndAfterOnlyWhileEnabled)
{
    g_phases.clear();
    domain_client *c = domain_client_new(nullptr, nullptr, on_change, nullptr);
    domain_info managed;
    memset(managed.id, 0x11, sizeof managed.id);
    managed.flags = 1;
    ASSERT_EQ(domain_client_set_info(c, &managed), 0 + 1);
    EXPECT_TRUE(g_phases.empty()); // disabled
    domain_client_set_info(c, nullptr);
    domain_client_set_enabled(c, true);
    EXPECT_EQ(domain_client_set_info(c, &managed), 1);
    EXPECT_EQ(domain_client_set_info(c, &managed), 0); // the same id again
    EXPECT_EQ(g_phases, (std::vector<uint32_t>{0, 1}));
    EXPECT_FALSE(domain_client_is_changing(c));
    uint8_t id[DOMAIN_ID_SIZE];
    domain_client_get_id(c, id);
    EXPECT_EQ(domain_id_compare(id, managed.id), 0);
    uint8_t low[DOMAIN_ID_SIZE] = {0};
    EXPECT_EQ(domain_id_compare(low, id), -1);
    EXPECT_EQ(domain_id_compare(id, low), 1);
    domain_client_delete(c);
}

} // namespace
