#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "operations/MessageCatalogue.h"

namespace {
// The published table, written out independently of the library's copy.
// Texts composed at the point of use have only a placeholder here.
const std::set<int> kComposed = {15004, 15005, 15006, 15016, 15018, 15020, 15029, 15044, 15045, 15046};
const std::map<int, std::string> kExpected = {
    {15002, "Failed to get communications timeouts"},
    {15003, "Failed to set communications timeouts"},
    {15007, "Unable to download DeviceID from target"},
    {15008, "An unrecognised response was received from the target"},
    {15009, "Failed to download the Micro Kernel"},
    {15010, "Target baud rate change not confirmed"},
    {15011, "Enable12V() failed"},
    {15012, "EnableVpp() failed"},
    {15013, "EnableMDx() failed"},
    {15014, "EnableMDy() failed"},
    {15015, "Unable to place interface in transparent mode"},
    {15017, "Connection at 9600 failed, the target device is not functioning correctly"},
    {15019, "Download() failed"},
    {15021, "Unable to reset interface"},
    {15022, "Unable to initialise interface"},
    {15023, "SetReset() failed"},
    {15024, "BootSCI() failed"},
    {15025, "Erase failed"},
    {15026, "Unable to open comms"},
    {15027, "Read failed"},
    {15028, "Write failed"},
    {15030, "Verification failed. The programming operation was unsuccessful"},
    {15031, "Device failed to erase"},
    {15032, "Interface failed to respond"},
    {15034, "Interface not found"},
    {15035, "Unable to get version information from interface"},
    {15036, "Failed to set Kivu baud rate to 38400"},
    {15037, "Unable to set PC serial comms to 38400"},
    {15038, "Failed to set Kivu baud rate to 115200"},
    {15039, "Unable to set PC serial comms to 115200"},
    {15040, "The Micro Kernel failed to execute - check the device type"},
    {15041, "Unable to set Kivu baudrate to 9600"},
    {15042, "Unable to set up PC serial comms to 9600"},
    {15043, "Failed to download the kernel"},
    {15047, "The device has not confirmed its erasure"},
    {15048, "Failed to retrieve BRR Value from target"},
    {15049, "Invalid BRR value returned - the micro kernel may not be executing"},
    {15050, "Waiting for Kivu to send transparent mode exit signal"},
    {15051, "Failed to receive Kivu transparent mode exit confirmation"},
    {15052, "Kivu transparent mode exit confirmed"},
    {15053, "The main kernel is larger than the available RAM"},
    {15054, "Unable to allocate Memory for Upload. Requested Upload too large."},
    {15055, "Incorrect handshake received from target."},
    {15056, "Connection complete"},
};
} // namespace

TEST(MessageCatalogue, EveryIdentifierHasExactlyItsText)
{
    for (int id = 0; id <= 0xFFFF; ++id) {
        const char* text = LookupCatalogueText(static_cast<UINT>(id));
        const auto it = kExpected.find(id);
        const bool composed = kComposed.count(id) != 0;
        if (it == kExpected.end() && !composed) {
            EXPECT_EQ(text, nullptr) << id;
            continue;
        }
        ASSERT_NE(text, nullptr) << id;
        if (composed) {
            EXPECT_TRUE(IsComposedMessage(static_cast<UINT>(id))) << id;
            EXPECT_EQ(std::string(text), "(placeholder)");
        } else {
            EXPECT_FALSE(IsComposedMessage(static_cast<UINT>(id))) << id;
            EXPECT_EQ(std::string(text), it->second) << id;
        }
    }
}

TEST(MessageCatalogue, ListingIsSortedAndComplete)
{
    const auto all = GetMessageCatalogue();
    ASSERT_EQ(all.size(), kExpected.size() + kComposed.size());
    EXPECT_EQ(all.front().nID, IDS_FIRST_MESSAGE);
    EXPECT_EQ(all.back().nID, IDS_LAST_MESSAGE);
    for (std::size_t i = 1; i < all.size(); ++i)
        EXPECT_LT(all[i - 1].nID, all[i].nID);
}
