#pragma once
// Everything a program needs to embed zflash.
#include "platform/Archive.h"
#include "platform/File.h"
#include "platform/HostUI.h"
#include "platform/List.h"
#include "platform/Module.h"
#include "platform/Object.h"
#include "platform/PrivateProfile.h"
#include "platform/String.h"
#include "platform/Sync.h"
#include "platform/Time.h"
#include "platform/Types.h"
#include "platform/Window.h"

#include "operations/MessageCatalogue.h"
#include "operations/Operation.h"
#include "operations/Register.h"
#include "operations/SettingsKeys.h"
#include "operations/StatusUpdate.h"
#include "operations/FLASHOperation.h"
#include "operations/DocumentOperations.h"
#include "operations/ProgrammerOperations.h"

#include "image/BinaryImage.h"
#include "image/BinaryImageFile.h"
#include "image/DataBlock.h"
#include "image/FLASHBinaryImage.h"
#include "image/FLASHDocument.h"
#include "image/FLASHPropertyViewer.h"

#include "devicedb/BaudCalcType.h"
#include "devicedb/BlockItem.h"
#include "devicedb/ConfigFile.h"
#include "devicedb/DeviceDB.h"
#include "devicedb/DeviceInfo.h"

#include "device/DeviceID.h"
#include "device/FunctionMap.h"
#include "device/FLASHDevice.h"
#include "device/FLASH1KDevice.h"

#include "comms/FLASHComms.h"
#include "comms/PortRegistry.h"
#include "comms/SerialLine.h"
#include "comms/SerialPortInfo.h"

#include "interface/FLASHGENInterface.h"
#include "interface/FLASHInterface.h"

#include "protocol/FLASHProtocol.h"
#include "protocol/FLASH1KProtocol.h"

#include "programmer/FLASHManager.h"
#include "programmer/FLASHProgrammer.h"
#include "programmer/OTPConfig.h"

#include "version/Version.h"
