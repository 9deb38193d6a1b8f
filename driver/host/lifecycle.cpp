#include "host/lifecycle.h"

#include <cstring>

#include "kaldor.h"
#include "serial/serial.h"

namespace qsn {

namespace {

constexpr std::size_t kPortNameSize = sizeof(PortDescriptor::portName);

// The host's name field need not be terminated; the copy always is.
void CopyPortName(char (&to)[kPortNameSize], const char (&from)[kPortNameSize]) {
    std::memcpy(to, from, kPortNameSize);
    to[kPortNameSize - 1] = '\0';
}

void ClearConfigurationFlags(DriverContext& context) {
    std::memset(context.unitCleared, 0, sizeof context.unitCleared);
    std::memset(context.outputConfigured, 0, sizeof context.outputConfigured);
    std::memset(context.tempConfigured, 0, sizeof context.tempConfigured);
}

}  // namespace

PortHandle OpenWithDescriptor(const PortDescriptor& descriptor) {
    char name[kPortNameSize];
    CopyPortName(name, descriptor.portName);
    PortHandle handle = 0;
    if (SerialOpen(name, descriptor.settings, descriptor.openFlags, &handle) != kSerialOk) {
        return 0;
    }
    return handle;
}

std::int32_t StartUp(const RequestBlock& request) {
    DriverContext& context = *request.context;
    const auto& init = *static_cast<const InitBlock*>(request.params);
    context.active = init.enabled;
    if (init.enabled == 0) return QSN_OK;

    PortDescriptor descriptor{};
    CopyPortName(descriptor.portName, init.portName);
    descriptor.settings = init.settings;
    descriptor.openFlags = kStartUpOpenFlags;

    const PortHandle handle = OpenWithDescriptor(descriptor);
    if (handle == 0) {
        err(32, "QSNDUT: Fail to open %s", descriptor.portName);
        return QSN_NO_LINE;
    }
    context.port = handle;
    // A time-out of 0 or below would leave a read from a silent unit waiting
    // for ever, so the port gets the same lower bound as the stored value.
    const std::int32_t portTimeout = init.readTimeout > 0 ? init.readTimeout : kMinReadTimeout;
    SerialSetReadTimeout(handle, portTimeout);
    context.portDesc = descriptor;
    context.readTimeout = init.readTimeout < kMinReadTimeout ? kMinReadTimeout : init.readTimeout;
    ClearConfigurationFlags(context);
    err(32, "QSNDUT: duTec Driver, loaded successfully.");
    return QSN_OK;
}

std::int32_t WarmStart(const RequestBlock& request) {
    DriverContext& context = *request.context;
    if (context.port != 0) SerialDiscardInput(context.port);
    ClearConfigurationFlags(context);
    err(32, "QSNDUT: Warm Start.");
    return QSN_OK;
}

std::int32_t ClosePort(const RequestBlock& request) {
    DriverContext& context = *request.context;
    if (context.port == 0) return QSN_OK;
    if (SerialClose(context.port) != kSerialOk) return QSN_NO_LINE;
    context.port = 0;
    return QSN_OK;
}

std::int32_t OpenPort(const RequestBlock& request) {
    DriverContext& context = *request.context;
    const PortHandle handle = OpenWithDescriptor(context.portDesc);
    if (handle == 0) return QSN_NO_LINE;
    context.active = 1;
    context.port = handle;
    return QSN_OK;
}

std::int32_t ReopenPort(const RequestBlock& request) {
    DriverContext& context = *request.context;
    const auto& block = *static_cast<const PortBlock*>(request.params);
    if (block.readTimeout != 0) context.readTimeout = block.readTimeout;

    char name[kPortNameSize];
    CopyPortName(name, block.portName);
    if (std::strncmp(name, context.portDesc.portName, kPortNameSize) != 0 && context.port != 0) {
        ClosePort(request);
    }
    std::memcpy(context.portDesc.portName, name, kPortNameSize);
    context.portDesc.settings = block.settings;

    const PortHandle handle = OpenWithDescriptor(context.portDesc);
    if (handle == 0) return QSN_NO_LINE;
    context.port = handle;
    return QSN_OK;
}

}  // namespace qsn
