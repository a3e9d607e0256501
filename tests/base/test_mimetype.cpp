// MIME table: the built-in rows, the process-wide manager and managers of
// the caller's own rows.
#include "mimetype.h"

#include "memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <strings.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct MimeGlobal : ::testing::Test {
    void TearDown() override
    {
        if (g_mimemgmt_init) mime_type_clean(g_mimemgmt);
    }
};

} // namespace

TEST_F(MimeGlobal, LookupsByExtensionIdAndText)
{
    ASSERT_EQ(g_mime_num, 1043);
    MimeMgmt* m = mime_type_init();
    ASSERT_NE(m, nullptr);
    // The repeated keys are entered once: 9 extensions repeat (".jpg" three
    // times), two ids twice, and there are 806 distinct MIME texts.
    EXPECT_EQ(ht_num(m->mime_tab), 1043 - 2 - 8);
    EXPECT_EQ(ht_num(m->mimetype_tab), 806);
    EXPECT_EQ(ht_num(m->mimeid_tab), 1041);

    const char* mime = nullptr;
    const char* ext = nullptr;
    uint32_t id = 1, app = 1;
    EXPECT_EQ(mime_type_get_by_extname(m, "photo.JPG", &mime, &id, &app), 0);
    EXPECT_STREQ(mime, "image/jpeg");
    EXPECT_EQ(std::make_pair(id, app), std::make_pair(2010u, 1010u));
    EXPECT_EQ(mime_type_get_by_extname(m, "README", &mime, &id, &app), -100);
    EXPECT_STREQ(mime, "application/octet-stream"); // the outputs are preset
    EXPECT_EQ(std::make_pair(id, app), std::make_pair(0u, 0u));
    EXPECT_EQ(mime_type_get_by_mime(m, " Application/JSON ; q=1", &ext, &id, &app), 0);
    EXPECT_STREQ(ext, ".json");
    EXPECT_EQ(std::make_pair(id, app), std::make_pair(5460u, 4460u));
    EXPECT_EQ(mime_type_get_by_mime(m, "no/such", &ext, &id, &app), -100);
    EXPECT_STREQ(ext, ".bin");
    EXPECT_EQ(mime_type_get_by_mimeid(m, 30440, &mime, &ext, &app), 0);
    EXPECT_STREQ(mime, "application/octet-stream");
    EXPECT_STREQ(ext, ".bin");

    EXPECT_EQ(mime_type_get(m, "TEXT/PLAIN", 2010, ".jpg")->mimeid, 1060u); // the text comes first
    EXPECT_EQ(mime_type_get(m, nullptr, 2010, ".txt")->mimeid, 2010u);       // then the id
    EXPECT_EQ(mime_type_get(m, nullptr, 0, "x.HTML")->mimeid, 1040u);
    EXPECT_EQ(mime_type_get(m, "nope/nope", 2010, nullptr), nullptr);

    // Every row is found by its own extension, text and id, or by the first row holding that key.
    for (int i = 0; i < g_mime_num; i++) {
        const MimeItem& row = g_mime[i];
        uint32_t found = 0;
        ASSERT_EQ(mime_type_get_by_extname(m, row.extname, &mime, &found, &app), 0);
        const MimeItem* first = std::find_if(g_mime, g_mime + g_mime_num,
                                             [&](const MimeItem& x) { return !strcasecmp(x.extname, row.extname); });
        ASSERT_EQ(found, first->mimeid);
        ASSERT_EQ(mime_type_get_by_mime(m, row.mime, &ext, &found, &app), 0);
        ASSERT_EQ(mime_type_get_by_mimeid(m, row.mimeid, &mime, &ext, &app), 0);
    }
}

TEST_F(MimeGlobal, InitBuildsOnceEvenUnderConcurrentFirstUse)
{
    std::vector<MimeMgmt*> got(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; i++) threads.emplace_back([&got, i] { got[size_t(i)] = mime_type_init(); });
    for (auto& t : threads) t.join();
    for (MimeMgmt* m : got) EXPECT_EQ(m, got[0]);
    ASSERT_NE(got[0], nullptr);

    EXPECT_EQ(mime_type_clean(got[0]), 0);
    EXPECT_EQ(g_mimemgmt_init, 0);
    MimeMgmt* b = mime_type_init(); // built again after a clean
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ht_num(b->mimetype_tab), 806);
}

TEST(MimeOwn, AddEntersOnlyNewKeys)
{
    MimeMgmt* m = mime_type_alloc(10);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(mime_type_add(m, "text/x-one", ".one", 7, 70), 0);
    EXPECT_EQ(mime_type_add(m, "text/x-one", ".one", 7, 70), 0); // every key exists: nothing added
    EXPECT_EQ(arr_num(m->mime_list), 1);
    EXPECT_EQ(mime_type_add(m, "TEXT/X-ONE", ".two", 8, 80), 0);  // new extension and id only
    EXPECT_EQ(mime_type_add(m, "text/x-three", ".ONE", 9, 90), 0); // known extension: text and id
    EXPECT_EQ(arr_num(m->mime_list), 3);
    EXPECT_EQ(ht_num(m->mime_tab), 2);
    EXPECT_EQ(ht_num(m->mimetype_tab), 2);
    EXPECT_EQ(ht_num(m->mimeid_tab), 3);

    const char* mime = nullptr;
    uint32_t id = 0, app = 0;
    EXPECT_EQ(mime_type_get_by_extname(m, "file.Two", &mime, &id, &app), 0);
    EXPECT_STREQ(mime, "TEXT/X-ONE");
    EXPECT_EQ(id, 8u);

    std::string long_mime(200, 'm');
    EXPECT_EQ(mime_type_add(m, long_mime.c_str(), ".abcdefghijklmnopqrstuvwxyz", 0, 0), 0);
    MimeItem* r = mime_type_get(m, nullptr, 0, ".abcdefghijklmn");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(strlen(r->mime), 95u);
    mime_type_free(m); // LeakSanitizer checks the rows go with it
}

TEST(MimeOwn, ExhaustedMemoryLeavesTheTablesAsTheyWere)
{
    MimeMgmt* m = mime_type_alloc(200);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(mime_type_add(m, "a/a", ".a", 1, 1), 0);
    for (long n = 0; n < 4; n++) {
        kmem_fail_after(n);
        int rc = mime_type_add(m, "b/b", ".b", 2, 2);
        kmem_fail_after(-1);
        if (rc == 0) break;
        ASSERT_EQ(rc, -100);
        EXPECT_EQ(ht_num(m->mime_tab), 1);
        EXPECT_EQ(ht_num(m->mimetype_tab), 1);
        EXPECT_EQ(ht_num(m->mimeid_tab), 1);
        EXPECT_EQ(arr_num(m->mime_list), 1);
    }
    mime_type_free(m);
}
