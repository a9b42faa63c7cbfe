#include "runtime/SharedNetworks.h"

#include "runtime/MemAdapter.h"
#include "runtime/ModelLibrary.h"

#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>

namespace tweenova {

namespace {

using ObjectRef = c10::weak_intrusive_ptr<c10::ivalue::Object>;

struct Key {
  uint64_t size;
  size_t hash;  // of the archive's bytes: a library may serve other bytes later
  std::string device;
  bool operator<(const Key& o) const { return std::tie(size, hash, device) < std::tie(o.size, o.hash, o.device); }
};

struct Entry {
  ObjectRef object;
  torch::Device device;
};

std::string deviceName(const torch::Device& device)
{
  std::ostringstream s;
  s << device;
  return s.str();
}

// Guards the table, and every load: TorchScript's compiler shares state
// between the archives it compiles, unguarded (ThreadSanitizer sees two
// render threads opening their operators race inside it).
std::mutex& tableMutex()
{
  static std::mutex mutex;
  return mutex;
}

std::map<Key, Entry>& table()
{
  static std::map<Key, Entry> entries;
  return entries;
}

// Forgets the networks nobody holds any more. Called locked.
void sweep()
{
  for (auto it = table().begin(); it != table().end();)
    it = it->second.object.expired() ? table().erase(it) : std::next(it);
}

} // namespace

torch::jit::Module acquireNetwork(const torch::Device& device, const NetworkPreparation& prepare)
{
  const ModelArchive archive = ModelArchive::fetch(modelLibraryPath());
  const Key key{archive.size(),
                std::hash<std::string_view>{}(
                  std::string_view(reinterpret_cast<const char*>(archive.data()), size_t(archive.size()))),
                deviceName(device)};
  std::lock_guard<std::mutex> lock(tableMutex());
  sweep();
  const auto found = table().find(key);
  if (found != table().end())
    if (c10::intrusive_ptr<c10::ivalue::Object> object = found->second.object.lock())
      return torch::jit::Module(std::move(object));

  auto adapter = std::make_shared<MemAdapter>(archive.data(), archive.size());
  torch::jit::Module network = torch::jit::load(adapter, device, /*load_debug_files=*/true);
  if (prepare)
    prepare(network);
  table().insert_or_assign(key, Entry{ObjectRef(network._ivalue()), device});
  return network;
}

std::optional<torch::Device> networkDevice(const torch::jit::Module& network)
{
  std::lock_guard<std::mutex> lock(tableMutex());
  for (const auto& [key, entry] : table())
    if (entry.object.lock().get() == network._ivalue().get())
      return entry.device;
  return std::nullopt;
}

size_t sharedNetworkCount()
{
  std::lock_guard<std::mutex> lock(tableMutex());
  sweep();
  return table().size();
}

void releaseNetwork(torch::jit::Module& network) noexcept
{
  try {
    std::lock_guard<std::mutex> lock(tableMutex());
    const c10::intrusive_ptr<c10::ivalue::Object> object = network._ivalue();
    // The table's references are weak: two strong ones (the node's and
    // `object`) mean the node is the last holder, and nobody can take
    // another while the table is locked. Forgotten first, the network moved
    // to the CPU is never handed out as the GPU's.
    if (object && object.use_count() == 2) {
      for (auto it = table().begin(); it != table().end(); ++it)
        if (it->second.object.lock().get() == object.get()) {
          table().erase(it);
          break;
        }
      network.to(torch::Device(torch::kCPU, -1), false);
    }
  } catch (...) {
  }
  network = torch::jit::Module();
}

} // namespace tweenova
