#include "ServiceNotifier.h"

// The Windows service manager has no keep-alive protocol; the service's state
// is reported by the framework's service dispatcher. Nothing to do here.

ServiceNotifier::ServiceNotifier(std::function<uint64_t()> progress) : m_fnProgress(std::move(progress)) {}

ServiceNotifier::~ServiceNotifier() = default;

void ServiceNotifier::notifyReady() {}

void ServiceNotifier::sendKeepAlives(uint64_t /*periodUsec*/) {}
