// The Excel gateway: the argument count checks, the lazy lookup of the host's
// MdCallBack12 and the unchanged pass-through of what Excel answers. The host
// is faked by swapping the platform's module and symbol lookups; each case
// runs in its own process, so the gateway starts unresolved every time.
#include <gtest/gtest.h>

#include <array>
#include <utility>

#include "excel_gateway.h"
#include "platform/platform.h"

namespace {

struct fake_excel {
    int host_module_calls;      // GetModuleHandleA(NULL) stand-in calls
    int symbol_calls;           // GetProcAddress stand-in calls
    bool exports_callback;      // whether the fake host has MdCallBack12
    int calls;                  // MdCallBack12 calls
    int last_fn;                // its arguments, as last seen
    int last_count;
    LPXLOPER12 *last_opers;
    std::array<LPXLOPER12, 256> seen;  // copies of the argument addresses
    LPXLOPER12 last_result;
    int answer;                 // return code to give back
};
fake_excel fake;
int fake_module_token;

int fake_callback(int xlfn, int count, LPXLOPER12 *opers, LPXLOPER12 result) {
    fake.calls++;
    fake.last_fn = xlfn;
    fake.last_count = count;
    fake.last_opers = opers;
    for (int i = 0; i < count && i < 256; i++) fake.seen[(size_t)i] = opers[i];
    fake.last_result = result;
    return fake.answer;
}

plat_module fake_host_module(void) {
    fake.host_module_calls++;
    return &fake_module_token;
}

void *fake_symbol(plat_module module, const char *name) {
    fake.symbol_calls++;
    if (module != &fake_module_token || std::string(name) != "MdCallBack12" || !fake.exports_callback) return nullptr;
    return reinterpret_cast<void *>(&fake_callback);
}

plat_module no_host_module(void) {
    fake.host_module_calls++;
    return nullptr;
}

XLOPER12 records[300];

// Excel12 with `count` addresses of `records`, passed as real variadic arguments.
template <size_t... I>
int excel12_with(int count, XLOPER12 *result, std::index_sequence<I...>) {
    return Excel12(xlfRegister, result, count, &records[I]...);
}
template <size_t N>
int excel12_n(int count, XLOPER12 *result = nullptr) {
    return excel12_with(count, result, std::make_index_sequence<N>());
}

class ExcelGateway : public ::testing::Test {
protected:
    void SetUp() override {
        fake = fake_excel();
        fake.exports_callback = true;
        plat.host_module = fake_host_module;
        plat.library_symbol = fake_symbol;
    }
    void TearDown() override { plat_reset(); }
};

TEST_F(ExcelGateway, count_zero_still_calls_excel_with_an_array) {
    EXPECT_EQ(excel12_n<0>(0), xlretSuccess);
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(fake.last_count, 0);
    EXPECT_NE(fake.last_opers, nullptr);
}

TEST_F(ExcelGateway, count_255_passes_every_address_in_order_and_the_result) {
    XLOPER12 result;
    fake.answer = 1234;  // any code Excel gives comes back unchanged
    EXPECT_EQ(excel12_n<255>(255, &result), 1234);
    ASSERT_EQ(fake.calls, 1);
    EXPECT_EQ(fake.last_fn, xlfRegister);
    EXPECT_EQ(fake.last_count, 255);
    EXPECT_EQ(fake.last_result, &result);
    for (int i = 0; i < 255; i++) ASSERT_EQ(fake.seen[(size_t)i], &records[i]) << "argument " << i;
}

TEST_F(ExcelGateway, count_256_or_negative_is_refused_without_calling_excel) {
    EXPECT_EQ(excel12_n<256>(256), xlretInvCount);
    EXPECT_EQ(excel12_n<0>(-1), xlretInvCount);
    EXPECT_EQ(excel12_n<0>(-2147483647 - 1), xlretInvCount);
    EXPECT_EQ(fake.calls, 0);
}

TEST_F(ExcelGateway, missing_host_entry_fails_before_the_count_check) {
    fake.exports_callback = false;
    EXPECT_EQ(excel12_n<300>(300), xlretFailed);
    EXPECT_EQ(fake.calls, 0);
}

TEST_F(ExcelGateway, failed_lookup_is_not_remembered_and_a_later_host_is_found) {
    fake.exports_callback = false;
    EXPECT_EQ(excel12_n<1>(1), xlretFailed);
    EXPECT_EQ(excel12_n<1>(1), xlretFailed);
    EXPECT_EQ(fake.symbol_calls, 2);
    fake.exports_callback = true;
    EXPECT_EQ(excel12_n<1>(1), xlretSuccess);
    EXPECT_EQ(fake.calls, 1);
}

TEST_F(ExcelGateway, no_host_module_fails_without_a_symbol_lookup) {
    plat.host_module = no_host_module;
    EXPECT_EQ(excel12_n<1>(1), xlretFailed);
    EXPECT_EQ(fake.host_module_calls, 1);
    EXPECT_EQ(fake.symbol_calls, 0);
}

TEST_F(ExcelGateway, resolved_entry_is_not_looked_up_again) {
    EXPECT_EQ(excel12_n<1>(1), xlretSuccess);
    EXPECT_EQ(excel12_n<2>(2), xlretSuccess);
    EXPECT_EQ(excel12_n<256>(256), xlretInvCount);
    EXPECT_EQ(fake.host_module_calls, 1);
    EXPECT_EQ(fake.symbol_calls, 1);
    EXPECT_EQ(excel_gateway_lookups(), 1);
    EXPECT_EQ(fake.calls, 2);
}

}  // namespace
