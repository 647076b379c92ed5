#include "netaudio/discovery/wt_dnssd.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/dnssd_fake.h"

namespace {

struct browse_seen {
    uint32_t flags;
    uint32_t interface_index;
    int32_t error;
    std::string name, type, domain;
};

void on_browse(wt_dnssd_ref *, uint32_t flags, uint32_t interface_index, int32_t error, const char *name,
               const char *type, const char *domain, void *context)
{
    static_cast<std::vector<browse_seen> *>(context)->push_back({flags, interface_index, error, name, type, domain});
}

class DnssdLayer : public ::testing::Test {
protected:
    void SetUp() override { dnssd_fake::reset(); }
    void TearDown() override { EXPECT_EQ(dnssd_fake::live_references(), 0u); }
};

TEST_F(DnssdLayer, BrowseReportsEachInstanceOnceAcrossProtocolDoubles)
{
    std::vector<browse_seen> seen;
    wt_dnssd_ref *ref = nullptr;
    ASSERT_EQ(wt_dnssd_browse(&ref, 0, 0, "_netaudio-arc._udp.", "local", on_browse, &seen), 0);
    ASSERT_GE(wt_dnssd_socket(ref), 0);

    // Two adds (IPv4 and IPv6) of one instance, then one of another interface.
    dnssd_fake::browse_reply("_netaudio-arc._udp", "dev1", 3, true);
    dnssd_fake::browse_reply("_netaudio-arc._udp", "dev1", 3, true);
    dnssd_fake::browse_reply("_netaudio-arc._udp", "dev1", 4, true);
    dnssd_fake::browse_reply("_netaudio-arc._udp", "dev1", 3, false);
    ASSERT_EQ(wt_dnssd_process_result(-1, ref), 0);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].flags & WT_DNSSD_FLAG_ADD, static_cast<uint32_t>(WT_DNSSD_FLAG_ADD));
    EXPECT_EQ(seen[0].interface_index, 3u);
    EXPECT_EQ(seen[0].type, "_netaudio-arc._udp.") << "types end with a dot";
    EXPECT_EQ(seen[0].domain, "local.");
    EXPECT_EQ(seen[1].interface_index, 4u);

    // The last of the doubles going is the removal; a stray removal passes through.
    dnssd_fake::browse_reply("_netaudio-arc._udp", "dev1", 3, false);
    dnssd_fake::browse_reply("_netaudio-arc._udp", "ghost", 3, false);
    ASSERT_EQ(wt_dnssd_process_result(-1, ref), 0);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].name, "dev1");
    EXPECT_EQ(seen[2].flags & WT_DNSSD_FLAG_ADD, 0u);
    EXPECT_EQ(seen[3].name, "ghost");

    // Error replies carry empty texts instead of null ones.
    dnssd_fake::browse_error("_netaudio-arc._udp", -65537);
    ASSERT_EQ(wt_dnssd_process_result(-1, ref), 0);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[4].error, -65537);
    EXPECT_EQ(seen[4].name, "");
    wt_dnssd_deallocate(ref);
}

struct resolve_probe {
    wt_dnssd_ref *ref = nullptr;
    int calls = 0;
    bool deallocate_in_callback = false;
    std::string host;
    uint16_t port = 0;
    uint16_t txt_length = 0;
};

void on_resolve(wt_dnssd_ref *ref, uint32_t, uint32_t, int32_t, const char *, const char *host, uint16_t port,
                uint16_t txt_length, const unsigned char *, void *context)
{
    resolve_probe *probe = static_cast<resolve_probe *>(context);
    probe->calls++;
    probe->host = host;
    probe->port = port;
    probe->txt_length = txt_length;
    if (probe->deallocate_in_callback) {
        wt_dnssd_deallocate(ref);
        probe->ref = nullptr;
    }
}

TEST_F(DnssdLayer, ReferenceMayBeDeallocatedFromItsOwnCallback)
{
    dnssd_fake::announce({"_netaudio-cmc._udp", "dev1", 2, "dev1-host.local", 8800, dnssd_fake::txt({"id=1"})});
    resolve_probe probe;
    probe.deallocate_in_callback = true;
    ASSERT_EQ(wt_dnssd_resolve(&probe.ref, 0, 2, "dev1", "_netaudio-cmc._udp.", "local", on_resolve, &probe), 0);
    // A second reply is queued behind the first; it must not arrive after the deallocation.
    ASSERT_EQ(dnssd_fake::answer_resolves("_netaudio-cmc._udp", "dev1"), 1);
    EXPECT_EQ(wt_dnssd_process_result(-1, probe.ref), 0);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.ref, nullptr);
    EXPECT_EQ(probe.host, "dev1-host.local");
    EXPECT_EQ(ntohs(probe.port), 8800);
    EXPECT_EQ(probe.txt_length, 5u);
}

TEST_F(DnssdLayer, FailuresOfTheBackendAreReturned)
{
    std::vector<browse_seen> seen;
    wt_dnssd_ref *ref = reinterpret_cast<wt_dnssd_ref *>(1);
    dnssd_fake::fail_next_browse(-65540);
    EXPECT_EQ(wt_dnssd_browse(&ref, 0, 0, "_netaudio-arc._udp.", "local", on_browse, &seen), -65540);
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(wt_dnssd_browse(nullptr, 0, 0, "_x._udp.", "local", on_browse, &seen), WT_DNSSD_ERR_BADPARAM);
    EXPECT_EQ(wt_dnssd_process_result(-1, nullptr), WT_DNSSD_ERR_BADPARAM);
    EXPECT_EQ(wt_dnssd_socket(nullptr), -1);
    wt_dnssd_deallocate(nullptr);
}

void on_query(wt_dnssd_ref *, uint32_t, uint32_t, int32_t error, const char *name, uint16_t rrtype, uint16_t,
              uint16_t rdata_length, const void *, uint32_t, void *context)
{
    auto *out = static_cast<std::vector<std::string> *>(context);
    out->push_back(std::string(name) + "/" + std::to_string(rrtype) + "/" + std::to_string(rdata_length) + "/" +
                   std::to_string(error));
}

TEST_F(DnssdLayer, RecordQueriesPassNoFlags)
{
    std::vector<std::string> answers;
    wt_dnssd_ref *ref = nullptr;
    ASSERT_EQ(wt_dnssd_query_record(&ref, 0x500, 0, "dev1-host.local.", WT_DNSSD_TYPE_A, WT_DNSSD_CLASS_IN, on_query,
                                    &answers),
              0);
    EXPECT_EQ(dnssd_fake::last_query_flags(), 0u);
    ASSERT_EQ(dnssd_fake::answer_queries("dev1-host.local", 2, 0x0100007f), 1);
    ASSERT_EQ(wt_dnssd_process_result(-1, ref), 0);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], "dev1-host.local./1/4/0");
    wt_dnssd_deallocate(ref);
}

struct reconfirm_seen {
    int calls = 0;
    uint32_t interface_index = 0;
    std::string name;
    uint16_t rrtype = 0;
};

void on_reconfirm(uint32_t interface_index, const char *name, uint16_t rrtype, uint16_t, void *context)
{
    reconfirm_seen *seen = static_cast<reconfirm_seen *>(context);
    seen->calls++;
    seen->interface_index = interface_index;
    seen->name = name;
    seen->rrtype = rrtype;
}

TEST_F(DnssdLayer, ReconfirmNeverReachesTheBackend)
{
    reconfirm_seen seen;
    wt_dnssd_set_reconfirm_observer(on_reconfirm, &seen);
    EXPECT_EQ(wt_dnssd_reconfirm_record(0, 5, "dev1._netaudio-arc._udp.local.", WT_DNSSD_TYPE_PTR, WT_DNSSD_CLASS_IN,
                                        0, nullptr),
              0);
    wt_dnssd_set_reconfirm_observer(nullptr, nullptr);
    EXPECT_EQ(wt_dnssd_reconfirm_record(0, 5, "x", WT_DNSSD_TYPE_PTR, WT_DNSSD_CLASS_IN, 0, nullptr), 0);
    EXPECT_EQ(dnssd_fake::reconfirm_calls(), 0u);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.interface_index, 5u);
    EXPECT_EQ(seen.rrtype, WT_DNSSD_TYPE_PTR);
}

TEST_F(DnssdLayer, FullNamesAreEscapedAndEndWithADot)
{
    char name[WT_DNSSD_FULL_NAME_SIZE];
    ASSERT_EQ(wt_dnssd_construct_full_name(name, "My.Device", "_netaudio-arc._udp.", "local"), 0);
    EXPECT_STREQ(name, "My\\.Device._netaudio-arc._udp.local.");
    std::string huge(1100, 'a');
    EXPECT_EQ(wt_dnssd_construct_full_name(name, huge.c_str(), "_netaudio-arc._udp.", "local"), -1);
    EXPECT_EQ(wt_dnssd_construct_full_name(nullptr, "a", "_x._udp.", "local"), -1);
}

TEST(DnssdTxt, KeysMatchWithoutCaseAndTheFirstEntryCounts)
{
    std::string record = dnssd_fake::txt({"Default", "RATE=48000", "rate=44100", "empty=", "enc=24 32"});
    auto len = static_cast<uint16_t>(record.size());
    uint8_t vlen = 99;
    const char *v = static_cast<const char *>(wt_dnssd_txt_value(len, record.data(), "rate", &vlen));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(std::string(v, vlen), "48000");
    EXPECT_TRUE(wt_dnssd_txt_contains_key(len, record.data(), "default"));
    EXPECT_EQ(wt_dnssd_txt_value(len, record.data(), "default", &vlen), nullptr) << "no '=': no value";
    EXPECT_EQ(vlen, 0);
    EXPECT_NE(wt_dnssd_txt_value(len, record.data(), "empty", &vlen), nullptr);
    EXPECT_EQ(vlen, 0);
    EXPECT_FALSE(wt_dnssd_txt_contains_key(len, record.data(), "enc=24"));
    EXPECT_FALSE(wt_dnssd_txt_contains_key(len, record.data(), "absent"));
    EXPECT_FALSE(wt_dnssd_txt_contains_key(len, record.data(), ""));
    EXPECT_FALSE(wt_dnssd_txt_contains_key(len, nullptr, "rate"));

    // An entry that runs past the record hides what follows and is not read.
    std::string broken = dnssd_fake::txt({"a=1"}) + std::string("\x40" "rate=1", 7);
    EXPECT_TRUE(wt_dnssd_txt_contains_key(static_cast<uint16_t>(broken.size()), broken.data(), "a"));
    EXPECT_FALSE(wt_dnssd_txt_contains_key(static_cast<uint16_t>(broken.size()), broken.data(), "rate"));
    // So does a zero-length entry, as for the record parsers.
    std::string cut = dnssd_fake::txt({"a=1"}) + std::string(1, '\0') + dnssd_fake::txt({"rate=1"});
    EXPECT_FALSE(wt_dnssd_txt_contains_key(static_cast<uint16_t>(cut.size()), cut.data(), "rate"));
}

} // namespace
