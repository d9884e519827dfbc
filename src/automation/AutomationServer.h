#pragma once
// The automation interface on D-Bus: one bus connection owning the name VoxmitServer2.Server,
// the class factory at /VoxmitServer2, and the objects it created for its clients. An object
// lives while its creator holds it: until the creator calls Release or leaves the bus. Events
// are signals sent to the creator alone.
//
// Threads:
//  - the bus thread (the connection's event loop) runs every method call and the bus's
//    NameOwnerChanged notices, one at a time;
//  - the event thread sends the queued signals in the order they were raised, so that a hook
//    raising an event never waits for the bus (a hook may run under the clients list's lock);
//  - ending an object's session runs on a registered thread (TNThreadRegistry), so that a
//    server stop waits for it and the bus thread never waits for session threads.
// objectsMutex_ guards objects_ and the per-owner counts; contextMutex_ guards the current
// session context: a call that feeds a session holds it shared (ContextLease), a change of
// run takes it exclusively, so no call feeds a run that is being stopped.
//
// Ownership: the server owns the connection, the factory, the objects' table and the event
// thread. An object is shared by the table, queued events and the thread ending it; it is
// destroyed on whichever drops it last. Destroying the server stops the bus thread first,
// then ends every object still alive.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>

#include "clients/BaseClient.h"

namespace sdbus {
class IConnection;
class IProxy;
class Signal;
} // namespace sdbus

namespace voxmit {

class TAutomationObject;
class TFactoryObject;

// What the objects ask of the process (the server layer provides it). Every member is called
// on the bus thread and must return at once.
struct TAutomationHost {
  std::function<void()> StartServer;           // post the start to the UI thread
  std::function<void()> StopServer;            // post the stop to the UI thread
  std::function<void(int32_t, int32_t)> ShowMenu;
  std::function<bool()> Running;               // the lifecycle flag, a momentary view
  // The first object of a bus-activated process was released: end the process. Called on
  // the thread that ended the object.
  std::function<void()> EndProcess;
};

struct TAutomationOptions {
  bool SystemBus = false;  // the system bus instead of the session bus
  bool Activated = false;  // started by the bus (--embedding)
  // Objects one bus client may hold at once; more are refused.
  int32_t MaxObjectsPerClient = 256;
};

// The session context of the running server, held for the length of one call.
struct TContextLease {
  std::shared_lock<std::shared_mutex> Lock;
  std::optional<TSessionContext> Context;  // empty while the server is stopped
  uint64_t Generation = 0;                 // changes with every start and stop
};

class TAutomationServer {
public:
  // Connects to the bus, takes the bus name and starts serving. Throws sdbus::Error (no bus,
  // the name is taken).
  TAutomationServer(TAutomationOptions options, TAutomationHost host);
  ~TAutomationServer();
  TAutomationServer(const TAutomationServer&) = delete;
  TAutomationServer& operator=(const TAutomationServer&) = delete;

  // The run that new sessions join, or none while the server is stopped. UI thread; waits
  // for calls that are feeding sessions right now.
  void SetSessionContext(std::optional<TSessionContext> context);
  TContextLease CurrentContext() const;

  const TAutomationHost& Host() const { return host_; }
  const TAutomationOptions& Options() const { return options_; }
  sdbus::IConnection& Connection() { return *connection_; }

  // Factory (bus thread): creates an object of the class named by a ProgID or class GUID for
  // the caller; returns its path. Throws sdbus::Error.
  std::string CreateObject(const std::string& className, const std::string& owner);
  // Drops owner's object at path (Release; bus thread). Throws sdbus::Error when owner holds
  // no such object.
  void ReleaseObject(const std::string& path, const std::string& owner);

  // Queues a signal of object for its owner. Any thread; never waits for the bus.
  void QueueEvent(std::shared_ptr<TAutomationObject> object, const char* interfaceName,
                  const char* signalName, std::function<void(sdbus::Signal&)> arguments);

  // How many objects are alive (in the table). Any thread.
  size_t ObjectCount() const;

private:
  struct TEvent {
    std::shared_ptr<TAutomationObject> Object;
    const char* Interface;
    const char* Name;
    std::function<void(sdbus::Signal&)> Arguments;
  };

  void OnNameOwnerChanged(const std::string& name, const std::string& oldOwner,
                          const std::string& newOwner);
  bool NameHasOwner(const std::string& name);
  // Ends the object on a registered thread: logs its session off, then, for the first object
  // of an activated process, ends the process.
  void EndObjectLater(std::shared_ptr<TAutomationObject> object);
  void RunEvents();

  const TAutomationOptions options_;
  const TAutomationHost host_;

  mutable std::shared_mutex contextMutex_;
  std::optional<TSessionContext> context_;
  uint64_t generation_ = 0;

  mutable std::mutex objectsMutex_;
  std::map<std::string, std::shared_ptr<TAutomationObject>> objects_;
  std::map<std::string, int32_t> ownerCounts_;
  uint64_t nextObjectNo_ = 1;
  bool firstCreated_ = false;

  std::mutex eventsMutex_;
  std::condition_variable eventsReady_;
  std::deque<TEvent> events_;
  bool eventsStop_ = false;
  std::thread eventThread_;

  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<TFactoryObject> factory_;
  std::unique_ptr<sdbus::IProxy> busProxy_;
};

} // namespace voxmit
