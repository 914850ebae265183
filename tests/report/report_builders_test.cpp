#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "common/field_copy.h"
#include "inventory/machine_inventory.h"
#include "report/report_builders.h"

namespace {

struct ReportBuilders : ::testing::Test {
    ReportOrigin origin;
    MachineInventory inventory{};

    void SetUp() override
    {
        copyToField(origin.appKey, sizeof origin.appKey, "k1");
        copyToField(origin.deviceId.ansi, sizeof origin.deviceId.ansi, "0123456789ABCDEF0123456789ABCDEF");
        copyToField(origin.deviceId.wide, kDeviceIdWideUnits, L"0123456789ABCDEF0123456789ABCDEF");
    }

    static std::string text(const BuiltReport& report)
    {
        if (!report.body) return "<nothing built>";
        return report.body.get();
    }
};

TEST_F(ReportBuilders, AppEventBodyIsByteExact)
{
    EXPECT_EQ(text(buildAppEventReport(origin, "app_start", "2024-03-05 14:07:09")),
              "Param={%22deviceid%22:%220123456789ABCDEF0123456789ABCDEF%22,%22appkey%22:%22k1%22,"
              "%22channelid%22:%22%22,%22installtype%22:%22app_start%22,%22time%22:%222024-03-05%2014:07:09%22}");
}

TEST_F(ReportBuilders, ActionBodyEscapesEveryValueAndEndsWithTheBrace)
{
    copyToField(origin.appKey, kAppKeyBytes, "a b&c");
    copyToField(origin.channelId, kChannelBytes, "50%");
    EXPECT_EQ(text(buildActionReport(origin, "click\xff", "tab\there")),
              "Param={%22deviceid%22:%220123456789ABCDEF0123456789ABCDEF%22,%22appkey%22:%22a%20b%26c%22,"
              "%22channelid%22:%2250%%22,%22actionname%22:%22click%ff%22,%22actioncontent%22:%22tab%09here%22}");
    std::string body = text(buildActionReport(origin, "click", ""));
    EXPECT_NE(body.find("%22actioncontent%22:%22%22}"), std::string::npos) << body;
    EXPECT_EQ(body.back(), '}');
}

TEST_F(ReportBuilders, ArgumentsOf63CharactersPassWhileLongerOrNullOnesAndAMissingKeyBuildNothing)
{
    std::string name63 = "n" + std::string(62, 'x');
    EXPECT_NE(text(buildActionReport(origin, name63.c_str(), "c")).find(name63), std::string::npos);

    std::string name64 = name63 + "x";
    const struct {
        const char* name;
        const char* content;
        ReportFailure expected;
    } refused[] = {
        {name64.c_str(), "c", ReportFailure::BadArgument},
        {"click", name64.c_str(), ReportFailure::BadArgument},
        {"click", nullptr, ReportFailure::BadArgument},
        {nullptr, "c", ReportFailure::BadArgument},
    };
    for (const auto& r : refused) {
        BuiltReport report = buildActionReport(origin, r.name, r.content);
        EXPECT_FALSE(report.body);
        EXPECT_EQ(report.failure, r.expected);
    }
    EXPECT_EQ(buildAppEventReport(origin, name64.c_str(), "2024-03-05 14:07:09").failure, ReportFailure::BadArgument);

    copyToField(origin.appKey, kAppKeyBytes, "");
    EXPECT_EQ(buildAppEventReport(origin, "app_start", "2024-03-05 14:07:09").failure, ReportFailure::NotConfigured);
    EXPECT_EQ(buildActionReport(origin, "click", nullptr).failure, ReportFailure::NotConfigured);  // key first
    EXPECT_EQ(buildDeviceInfoReport(origin, inventory).failure, ReportFailure::NotConfigured);
}

TEST_F(ReportBuilders, DeviceInfoBodyHasTwelvePairsInOrderWithEmptyValuesKept)
{
    copyToField(inventory.osCaption, kInventoryFieldUnits, L"Windows 7 Pro");
    copyToField(inventory.macAddress, kInventoryFieldUnits, L"00:11:22:33:44:55");
    copyToField(inventory.osVersion, kInventoryFieldUnits, L"6.1.7601");
    copyToField(inventory.computerName, kInventoryFieldUnits, L"PC");
    copyToField(inventory.userName, kInventoryFieldUnits, L"PC\\user");
    copyToField(inventory.accountSid, kInventoryFieldUnits, L"S-1-5-21");
    copyToField(inventory.cpuId, kCpuIdUnits, L"ABCDEF");
    copyToField(inventory.boardSerial, kInventoryFieldUnits, L"N/A");
    copyToField(inventory.biosSerial, kInventoryFieldUnits, L"not sent");
    EXPECT_EQ(text(buildDeviceInfoReport(origin, inventory)),
              "devicecode=0123456789ABCDEF0123456789ABCDEF&appkey=k1&channelid=&pcosname=Windows%207%20Pro"
              "&mac=00:11:22:33:44:55&pcosversion=6.1.7601&pcname=PC&pcusername=PC%5cuser&windowssid=S-1-5-21"
              "&pccpuid=ABCDEF&harddiskid=&mainboardcode=N/A");
}

TEST_F(ReportBuilders, OverlongDeviceInfoBodyIsCutBetweenWholeEscapesInsideTheBuffer)
{
    // Nine fields of 259 blanks escape to 777 characters each: far more than one body holds.
    std::wstring blanks(259, L' ');
    for (wchar_t* field : {inventory.osCaption, inventory.macAddress, inventory.osVersion, inventory.computerName,
                           inventory.userName, inventory.accountSid, inventory.diskSerial, inventory.boardSerial})
        copyToField(field, kInventoryFieldUnits, blanks.c_str());
    std::string body = text(buildDeviceInfoReport(origin, inventory));
    EXPECT_LE(body.size(), 2047u);
    ASSERT_GE(body.size(), 3u);
    std::size_t lastPercent = body.rfind('%');
    EXPECT_EQ(lastPercent + 3, body.size()) << "body ends in a torn escape: " << body.substr(body.size() - 10);
    EXPECT_EQ(body.find("&pcname="), std::string::npos);
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
