#include "platform/MessageCatalogue.h"

#include <algorithm>
#include <iterator>

namespace {
// Sorted by identifier. "(placeholder)" entries carry no text of their own:
// the code that raises them composes the text.
constexpr SCatalogueEntry kCatalogue[] = {
    {15002, "Failed to get communications timeouts"},
    {15003, "Failed to set communications timeouts"},
    {15004, "(placeholder)"},
    {15005, "(placeholder)"},
    {15006, "(placeholder)"},
    {15007, "Unable to download DeviceID from target"},
    {15008, "An unrecognised response was received from the target"},
    {15009, "Failed to download the Micro Kernel"},
    {15010, "Target baud rate change not confirmed"},
    {15011, "Enable12V() failed"},
    {15012, "EnableVpp() failed"},
    {15013, "EnableMDx() failed"},
    {15014, "EnableMDy() failed"},
    {15015, "Unable to place interface in transparent mode"},
    {15016, "(placeholder)"},
    {15017, "Connection at 9600 failed, the target device is not functioning correctly"},
    {15018, "(placeholder)"},
    {15019, "Download() failed"},
    {15020, "(placeholder)"},
    {15021, "Unable to reset interface"},
    {15022, "Unable to initialise interface"},
    {15023, "SetReset() failed"},
    {15024, "BootSCI() failed"},
    {15025, "Erase failed"},
    {15026, "Unable to open comms"},
    {15027, "Read failed"},
    {15028, "Write failed"},
    {15029, "(placeholder)"},
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
    {15044, "(placeholder)"},
    {15045, "(placeholder)"},
    {15046, "(placeholder)"},
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

const char* LookupCatalogueText(UINT nID)
{
    const auto* it = std::lower_bound(std::begin(kCatalogue), std::end(kCatalogue), nID,
                                      [](const SCatalogueEntry& e, UINT id) { return e.nID < id; });
    return (it != std::end(kCatalogue) && it->nID == nID) ? it->pszText : nullptr;
}

bool IsComposedMessage(UINT nID)
{
    const char* text = LookupCatalogueText(nID);
    return text && std::string_view(text) == kCatalogueComposed;
}

std::span<const SCatalogueEntry> GetMessageCatalogue()
{
    return kCatalogue;
}
