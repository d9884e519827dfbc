#include "automation/AutomationServer.h"

#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "automation/AutomationIds.h"
#include "automation/AutomationObjects.h"
#include "host/LogFile.h"
#include "platform/ThreadRegistry.h"

namespace voxmit {

namespace {

constexpr const char* kBusService = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";
// How long the end waits for objects that are still being ended.
constexpr int32_t kObjectsEndTimeoutMs = 30000;

} // namespace

TAutomationServer::TAutomationServer(TAutomationOptions options, TAutomationHost host)
    : options_(options), host_(std::move(host)) {
  connection_ = options_.SystemBus ? sdbus::createSystemBusConnection()
                                   : sdbus::createSessionBusConnection();
  factory_ = std::make_unique<TFactoryObject>(*connection_, *this);
  busProxy_ = sdbus::createProxy(*connection_, kBusService, kBusPath);
  busProxy_->uponSignal("NameOwnerChanged")
      .onInterface(kBusService)
      .call([this](const std::string& name, const std::string& oldOwner,
                   const std::string& newOwner) { OnNameOwnerChanged(name, oldOwner, newOwner); });
  busProxy_->finishRegistration();
  // The name last: a caller activated by it finds the factory in place.
  connection_->requestName(kAutomationBusName);
  eventThread_ = std::thread([this] { RunEvents(); });
  connection_->enterEventLoopAsync();
}

TAutomationServer::~TAutomationServer() {
  connection_->leaveEventLoop();  // no call runs from here on
  std::vector<std::shared_ptr<TAutomationObject>> left;
  {
    std::lock_guard lock(objectsMutex_);
    for (auto& [path, object] : objects_) left.push_back(object);
    objects_.clear();
    ownerCounts_.clear();
  }
  for (auto& object : left) {
    object->MarkReleased();
    try {
      object->EndSession();
    } catch (const std::exception& e) {
      LogMessage(std::string("Automation end, ") + e.what());
    }
  }
  // Objects released just before are ended on registered threads that use this server.
  TNThreadRegistry::Instance().WaitAll(kObjectsEndTimeoutMs);
  {
    std::lock_guard lock(eventsMutex_);
    eventsStop_ = true;
  }
  eventsReady_.notify_all();
  eventThread_.join();
  left.clear();
  busProxy_.reset();
  factory_.reset();
  try {
    connection_->releaseName(kAutomationBusName);
  } catch (const std::exception&) {
    // The bus may be gone already; the name goes with the connection.
  }
  connection_.reset();
}

void TAutomationServer::SetSessionContext(std::optional<TSessionContext> context) {
  std::unique_lock lock(contextMutex_);
  context_ = std::move(context);
  ++generation_;
}

TContextLease TAutomationServer::CurrentContext() const {
  std::shared_lock lock(contextMutex_);
  const std::optional<TSessionContext> context = context_;
  const uint64_t generation = generation_;
  return TContextLease{std::move(lock), context, generation};
}

std::string TAutomationServer::CreateObject(const std::string& className,
                                            const std::string& owner) {
  const TAutomationClass kind = ClassFromName(className);
  if (kind == TAutomationClass::None)
    throw sdbus::Error(kErrorClassNotRegistered,
                       "No class is registered as \"" + className + "\"");
  std::string path;
  bool endsProcess = false;
  {
    std::lock_guard lock(objectsMutex_);
    const auto held = ownerCounts_.find(owner);
    if (held != ownerCounts_.end() && held->second >= options_.MaxObjectsPerClient) {
      throw sdbus::Error(kErrorTooManyObjects, "A client may hold at most " +
                                                   std::to_string(options_.MaxObjectsPerClient) +
                                                   " objects");
    }
    const uint64_t no = nextObjectNo_++;
    path = (kind == TAutomationClass::VoxmitServer ? kVoxmitServerPathPrefix
                                                   : kVoxmitServerExPathPrefix) +
           std::to_string(no);
    // Only the very first object of an activated process ends it.
    endsProcess = options_.Activated && !firstCreated_;
    firstCreated_ = true;
  }
  std::shared_ptr<TAutomationObject> object;
  if (kind == TAutomationClass::VoxmitServer)
    object = std::make_shared<TVoxmitServer>(*this, path, owner, endsProcess);
  else
    object = std::make_shared<TVoxmitServerEx>(*this, path, owner, endsProcess);
  // A caller that left before its call was served would never release the object.
  if (!NameHasOwner(owner)) {
    object->MarkReleased();
    EndObjectLater(std::move(object));
    throw sdbus::Error(kErrorFailed, "The caller left the bus");
  }
  std::lock_guard lock(objectsMutex_);
  objects_[path] = std::move(object);
  ++ownerCounts_[owner];
  return path;
}

void TAutomationServer::ReleaseObject(const std::string& path, const std::string& owner) {
  std::shared_ptr<TAutomationObject> object;
  {
    std::lock_guard lock(objectsMutex_);
    const auto it = objects_.find(path);
    if (it == objects_.end() || it->second->Owner() != owner)
      throw sdbus::Error(kErrorReleased, "The caller holds no object " + path);
    object = std::move(it->second);
    objects_.erase(it);
    if (--ownerCounts_[owner] <= 0) ownerCounts_.erase(owner);
  }
  object->MarkReleased();
  EndObjectLater(std::move(object));
}

void TAutomationServer::OnNameOwnerChanged(const std::string& name, const std::string&,
                                           const std::string& newOwner) {
  // Only a unique name that lost its owner is a client leaving the bus.
  if (!newOwner.empty() || name.empty() || name[0] != ':') return;
  std::vector<std::shared_ptr<TAutomationObject>> gone;
  {
    std::lock_guard lock(objectsMutex_);
    for (auto it = objects_.begin(); it != objects_.end();) {
      if (it->second->Owner() == name) {
        gone.push_back(std::move(it->second));
        it = objects_.erase(it);
      } else {
        ++it;
      }
    }
    ownerCounts_.erase(name);
  }
  for (auto& object : gone) {
    object->MarkReleased();
    EndObjectLater(std::move(object));
  }
}

bool TAutomationServer::NameHasOwner(const std::string& name) {
  if (name.empty()) return false;
  bool has = false;
  busProxy_->callMethod("NameHasOwner").onInterface(kBusService).withArguments(name).storeResultsTo(
      has);
  return has;
}

void TAutomationServer::EndObjectLater(std::shared_ptr<TAutomationObject> object) {
  TNThreadRegistry::Instance().Spawn(
      "automation object end", [object = std::move(object), end = host_.EndProcess]() mutable {
        object->EndSession();
        const bool endsProcess = object->EndsProcess();
        object.reset();
        if (endsProcess && end) end();
      });
}

void TAutomationServer::QueueEvent(std::shared_ptr<TAutomationObject> object,
                                   const char* interfaceName, const char* signalName,
                                   std::function<void(sdbus::Signal&)> arguments) {
  {
    std::lock_guard lock(eventsMutex_);
    if (eventsStop_) return;
    events_.push_back(TEvent{std::move(object), interfaceName, signalName, std::move(arguments)});
  }
  eventsReady_.notify_one();
}

void TAutomationServer::RunEvents() {
  for (;;) {
    TEvent event;
    {
      std::unique_lock lock(eventsMutex_);
      eventsReady_.wait(lock, [this] { return eventsStop_ || !events_.empty(); });
      if (events_.empty()) return;  // stopping, and everything raised was sent
      event = std::move(events_.front());
      events_.pop_front();
    }
    try {
      sdbus::IObject& object = event.Object->DBusObject();
      sdbus::Signal signal = object.createSignal(event.Interface, event.Name);
      if (event.Arguments) event.Arguments(signal);
      signal.setDestination(event.Object->Owner());
      object.emitSignal(signal);
    } catch (const std::exception& e) {
      LogMessage(std::string("Automation event ") + event.Name + ", " + e.what());
    }
  }
}

size_t TAutomationServer::ObjectCount() const {
  std::lock_guard lock(objectsMutex_);
  return objects_.size();
}

} // namespace voxmit
