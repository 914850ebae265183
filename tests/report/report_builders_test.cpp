#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "inventory/machine_inventory.h"
#include "report/report_builders.h"
#include "service/report_dispatch.h"
#include "service/report_queue.h"
#include "service/service_state.h"

namespace {

constexpr char kDeviceId[] = "0123456789ABCDEF0123456789ABCDEF";

struct ReportBuilders : ::testing::Test {
    void SetUp() override
    {
        destroyReportQueue();
        ServiceState& state = serviceState();
        state.serviceRunning = 1;
        state.lastErrorCode = 0;
        copyToField(state.appKey, sizeof state.appKey, "k1");
        copyToField(state.channelId, sizeof state.channelId, "");
        copyToField(state.deviceIdAnsi, sizeof state.deviceIdAnsi, kDeviceId);
        copyToField(state.deviceIdWide, kDeviceIdWideUnits, L"0123456789ABCDEF0123456789ABCDEF");
        std::memset(&machineInventory(), 0, sizeof(MachineInventory));
    }
    void TearDown() override
    {
        destroyReportQueue();
        serviceState().serviceRunning = 0;
    }

    static std::string popBody()
    {
        char* body = getReportQueue().popFront();
        if (body == nullptr) return "<nothing queued>";
        std::string text(body);
        std::free(body);
        return text;
    }
};

TEST_F(ReportBuilders, AppEventBodyIsByteExact)
{
    ASSERT_EQ(buildAppEventReport("app_start", "2024-03-05 14:07:09"), 1);
    EXPECT_EQ(popBody(),
              "Param={%22deviceid%22:%220123456789ABCDEF0123456789ABCDEF%22,%22appkey%22:%22k1%22,"
              "%22channelid%22:%22%22,%22installtype%22:%22app_start%22,%22time%22:%222024-03-05%2014:07:09%22}");
}

TEST_F(ReportBuilders, ActionBodyEscapesEveryValueAndEndsWithTheBrace)
{
    copyToField(serviceState().appKey, kAppKeyBytes, "a b&c");
    copyToField(serviceState().channelId, kChannelBytes, "50%");
    ASSERT_EQ(buildActionReport("click\xff", "tab\there"), 1);
    EXPECT_EQ(popBody(),
              "Param={%22deviceid%22:%220123456789ABCDEF0123456789ABCDEF%22,%22appkey%22:%22a%20b%26c%22,"
              "%22channelid%22:%2250%%22,%22actionname%22:%22click%ff%22,%22actioncontent%22:%22tab%09here%22}");
    ASSERT_EQ(buildActionReport("click", ""), 1);
    std::string body = popBody();
    EXPECT_NE(body.find("%22actioncontent%22:%22%22}"), std::string::npos) << body;
    EXPECT_EQ(body.back(), '}');
}

TEST_F(ReportBuilders, ArgumentsOf63CharactersPassAnd64OrNullFailWithCode6)
{
    std::string name63 = "n" + std::string(62, 'x');
    EXPECT_EQ(buildActionReport(name63.c_str(), "c"), 1);
    EXPECT_NE(popBody().find(name63), std::string::npos);
    EXPECT_EQ(serviceState().lastErrorCode, 0);

    std::string name64 = name63 + "x";
    EXPECT_EQ(buildActionReport(name64.c_str(), "c"), 0);
    EXPECT_EQ(serviceState().lastErrorCode, kErrorBadArgument);
    serviceState().lastErrorCode = 0;
    EXPECT_EQ(buildActionReport("click", name64.c_str()), 0);
    EXPECT_EQ(serviceState().lastErrorCode, kErrorBadArgument);
    serviceState().lastErrorCode = 0;
    EXPECT_EQ(buildActionReport("click", nullptr), 0);
    EXPECT_EQ(serviceState().lastErrorCode, kErrorBadArgument);
    EXPECT_EQ(getReportQueue().size(), 0u);
}

TEST_F(ReportBuilders, NotRunningOrNoKeyFailsWithCode1AndQueuesNothing)
{
    serviceState().serviceRunning = 0;
    EXPECT_EQ(buildAppEventReport("app_start", "2024-03-05 14:07:09"), 0);
    EXPECT_EQ(serviceState().lastErrorCode, kErrorNotRunning);
    serviceState().serviceRunning = 1;
    serviceState().lastErrorCode = 0;
    copyToField(serviceState().appKey, kAppKeyBytes, "");
    EXPECT_EQ(buildDeviceInfoReport(), 0);
    EXPECT_EQ(serviceState().lastErrorCode, kErrorNotRunning);
    EXPECT_EQ(getReportQueue().size(), 0u);
}

TEST_F(ReportBuilders, DeviceInfoBodyHasTwelvePairsInOrderWithEmptyValuesKept)
{
    MachineInventory& inventory = machineInventory();
    copyToField(inventory.osCaption, kInventoryFieldUnits, L"Windows 7 Pro");
    copyToField(inventory.macAddress, kInventoryFieldUnits, L"00:11:22:33:44:55");
    copyToField(inventory.osVersion, kInventoryFieldUnits, L"6.1.7601");
    copyToField(inventory.computerName, kInventoryFieldUnits, L"PC");
    copyToField(inventory.userName, kInventoryFieldUnits, L"PC\\user");
    copyToField(inventory.accountSid, kInventoryFieldUnits, L"S-1-5-21");
    copyToField(inventory.cpuId, kCpuIdUnits, L"ABCDEF");
    copyToField(inventory.boardSerial, kInventoryFieldUnits, L"N/A");
    copyToField(inventory.biosSerial, kInventoryFieldUnits, L"not sent");
    ASSERT_EQ(queueDeviceInfoReport(inventory), 1);
    EXPECT_EQ(popBody(),
              "devicecode=0123456789ABCDEF0123456789ABCDEF&appkey=k1&channelid=&pcosname=Windows%207%20Pro"
              "&mac=00:11:22:33:44:55&pcosversion=6.1.7601&pcname=PC&pcusername=PC%5cuser&windowssid=S-1-5-21"
              "&pccpuid=ABCDEF&harddiskid=&mainboardcode=N/A");
}

TEST_F(ReportBuilders, OverlongDeviceInfoBodyIsCutBetweenWholeEscapesInsideTheBuffer)
{
    // Nine fields of 259 blanks escape to 777 characters each: far more than one body holds.
    MachineInventory& inventory = machineInventory();
    std::wstring blanks(259, L' ');
    for (wchar_t* field : {inventory.osCaption, inventory.macAddress, inventory.osVersion, inventory.computerName,
                           inventory.userName, inventory.accountSid, inventory.diskSerial, inventory.boardSerial})
        copyToField(field, kInventoryFieldUnits, blanks.c_str());
    ASSERT_EQ(queueDeviceInfoReport(inventory), 1);
    std::string body = popBody();
    EXPECT_LE(body.size(), 2047u);
    ASSERT_GE(body.size(), 3u);
    std::size_t lastPercent = body.rfind('%');
    EXPECT_EQ(lastPercent + 3, body.size()) << "body ends in a torn escape: " << body.substr(body.size() - 10);
    EXPECT_EQ(body.find("&pcname="), std::string::npos);
}

TEST_F(ReportBuilders, ABodyTheQueueCannotCopyFailsWithCode2)
{
    g_bodyAllocator = [](std::size_t) -> void* { return nullptr; };
    int built = buildAppEventReport("app_start", "2024-03-05 14:07:09");
    g_bodyAllocator = std::malloc;
    EXPECT_EQ(built, 0);
    EXPECT_EQ(serviceState().lastErrorCode, kErrorNoMemory);
    EXPECT_EQ(getReportQueue().size(), 0u);
}

TEST(ReportDispatch, ChoosesTheReportByNameWithoutRegardToCase)
{
    EXPECT_EQ(chooseReport("APP_Device_Info"), ReportKind::DeviceInfo);
    EXPECT_EQ(chooseReport("app_device_info_full"), ReportKind::DeviceInfo);
    EXPECT_EQ(chooseReport("app_install"), ReportKind::AppEvent);
    EXPECT_EQ(chooseReport("App_Start"), ReportKind::AppEvent);
    EXPECT_EQ(chooseReport("app_device_inf"), ReportKind::AppEvent);
    EXPECT_EQ(chooseReport("click"), ReportKind::Action);
    EXPECT_EQ(chooseReport("apps_list"), ReportKind::Action);
}

}  // namespace
