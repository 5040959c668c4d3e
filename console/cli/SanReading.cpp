#include "SanReading.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "AdminSession.h"
#include "Dunlin.h"
#include "Messages.h"
#include "RoleTables.h"
#include "ServerTable.h"
#include "Strings.h"

namespace {

// What is wrong with a record whose read CheckRoleRecord found damaged.
std::string Damage(LONG status, DWORD size) {
  if (status == ERROR_MORE_DATA) return "it is longer than 76 bytes";
  if (status == ERROR_INVALID_DATA) return "it is shorter than 76 bytes or not binary";
  if (size != sizeof(RoleRecord)) return "it is " + std::to_string(size) + " bytes long";
  return "it names no primary";
}

bool IsNotFound(LONG status) { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

std::string Reason(LONG status) { return OneLine(SystemErrorText(static_cast<DWORD>(status))); }

ServerReading ReadServer(const std::string& server, const GivenCredentials& given, CSilentUser& user) {
  ServerReading state;
  state.server = server;
  DWORD size = sizeof(state.local);
  LONG local = ReadLocalRoleRecord(server.c_str(), kSanProductCode, &state.local, &size);
  state.hasLocal = local == ERROR_SUCCESS && size == sizeof(state.local);
  if (CheckRoleRecord(local, &state.local, size) == RecordState::Damaged) state.localDamage = Damage(local, size);
  kv::CNetConnection session;
  // The session takes the stored credentials from the record just read.
  if (!ReachServer(server, state.hasLocal, state.hasLocal ? &state.local : nullptr, given, user, session, state.reason,
                   state.credentials))
    return state;

  size = sizeof(state.record);
  LONG status = ::ReadRoleRecord(server.c_str(), kSanProductCode, &state.record, &size);
  const RecordState read = CheckRoleRecord(status, &state.record, size);
  if (read == RecordState::Valid) {
    state.hasRecord = true;
  } else if (read == RecordState::Damaged) {
    state.damage = Damage(status, size);
  } else if (!IsNotFound(status)) {
    state.reason = "its role record cannot be read: " + Reason(status);
    state.credentials = status == ERROR_ACCESS_DENIED;
    if (status == ERROR_ACCESS_DENIED && !state.hasLocal)
      state.reason +=
          given.For(server) ? " (no stored credentials; the ones given were refused)" : " (no stored credentials)";
    return state;
  }

  kv::CRegKey root, key;
  status = OpenDistributedList(root, key, server.c_str());
  if (status == ERROR_SUCCESS) {
    state.hasList = true;
    status = ReadDistributedList(key.Get(), state.list);
    CloseDistributedList(root, key);
  }
  if (status != ERROR_SUCCESS && !IsNotFound(status)) {
    state.reason = "its distributed-servers list cannot be read: " + Reason(status);
    return state;
  }
  state.read = true;
  return state;
}

// Machine names compare without regard to case on the network: two
// spellings of one server are never read at once, so that one reading's
// session does not end under the other.
std::string Folded(const std::string& name) {
  std::string folded = name;
  for (char& c : folded)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return folded;
}

// The walk: servers in the order they become known. Readings are taken in
// that order (on the calling thread, or by workers as they are free) and
// handed in in that order, so the names each adds to the walk, and with
// them the whole result, do not depend on how many servers are read at once.
// Under Wine every wait and wake of a thread is a round trip to the same
// server that answers the registry calls, so the workers hand in readings
// themselves and wake each other only when there is work.
class CWalk {
 public:
  CWalk(const GivenCredentials& given, CSilentUser& user, const ProgressFunction& progress)
      : m_given(given), m_user(user), m_progress(progress) {
    for (const TableRow& row : ReadServerTable())
      if (row.role != TableRole::None) Add(row.name);
  }

  std::vector<ServerReading> Run(unsigned parallel) {
    Report();
    if (parallel <= 1) {
      for (size_t i = 0; i < m_order.size(); ++i) {
        HandIn(ReadServer(m_order[i], m_given, m_user));
        Report();
      }
      return std::move(m_done);
    }
    if (m_order.empty()) return {};
    std::vector<std::thread> workers;
    try {
      for (unsigned i = 0; i < parallel; ++i) workers.emplace_back([this] { Work(); });
    } catch (...) {
      // No more threads: the ones started end before the failure goes on.
      {
        std::lock_guard<std::mutex> guard(m_lock);
        Stop();
      }
      for (std::thread& worker : workers) worker.join();
      throw;
    }
    {
      std::unique_lock<std::mutex> lock(m_lock);
      while (!m_stop) {
        m_finished.wait_for(lock, std::chrono::milliseconds(250));
        lock.unlock();
        Report();
        lock.lock();
      }
    }
    for (std::thread& worker : workers) worker.join();
    if (m_failure) std::rethrow_exception(m_failure);
    Report();
    return std::move(m_done);
  }

 private:
  // Under the lock when workers run. Returns how many names joined the walk.
  size_t Add(const std::string& name) {
    if (name.empty() || !m_seen.insert(name).second) return 0;
    m_order.push_back(name);
    return 1;
  }

  size_t HandIn(ServerReading reading) {
    size_t added = 0;
    if (reading.read) {
      for (const std::string& member : reading.list) added += Add(member);
      if (reading.hasRecord) added += Add(PrimaryOf(reading.record));
    } else {
      ++m_notRead;
    }
    m_done.push_back(std::move(reading));
    return added;
  }

  void Report() {
    if (!m_progress) return;
    ReadingProgress p;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      p = {m_done.size(), m_order.size(), m_notRead};
    }
    m_progress(p);
  }

  // Ends the walk (under the lock): every worker and the calling thread see it.
  void Stop() {
    m_stop = true;
    m_work.notify_all();
    m_finished.notify_all();
  }

  // A worker: takes the next server of the walk, waits while another
  // spelling of it is being read, reads it with a session of its own, and
  // hands in every reading that is next in the walk's order.
  void Work() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
      m_work.wait(lock, [this] { return m_stop || m_started < m_order.size(); });
      if (m_stop) return;
      const size_t index = m_started++;
      const std::string server = m_order[index];
      const std::string folded = Folded(server);
      if (m_reading.count(folded)) {
        ++m_spellingWaits;
        m_spellingDone.wait(lock, [&] { return m_stop || m_reading.count(folded) == 0; });
        --m_spellingWaits;
        if (m_stop) return;
      }
      m_reading.insert(folded);
      lock.unlock();
      std::unique_ptr<ServerReading> reading;
      try {
        reading = std::make_unique<ServerReading>(ReadServer(server, m_given, m_user));
      } catch (...) {
        // Nothing is thrown across the thread's end: the calling thread rethrows it.
        lock.lock();
        if (!m_failure) m_failure = std::current_exception();
        m_reading.erase(folded);
        Stop();
        return;
      }
      lock.lock();
      m_reading.erase(folded);
      if (m_spellingWaits) m_spellingDone.notify_all();
      // Kept until the readings before it are in; then it and those after it go in.
      const size_t at = index - m_done.size();
      if (m_ready.size() <= at) m_ready.resize(at + 1);
      m_ready[at] = std::move(reading);
      size_t added = 0;
      while (!m_ready.empty() && m_ready.front()) {
        added += HandIn(std::move(*m_ready.front()));
        m_ready.pop_front();
      }
      for (size_t i = 0; i < added; ++i) m_work.notify_one();
      if (m_done.size() == m_order.size()) Stop();
    }
  }

  const GivenCredentials& m_given;
  CSilentUser& m_user;
  const ProgressFunction& m_progress;
  std::vector<std::string> m_order;
  std::set<std::string> m_seen;
  std::vector<ServerReading> m_done;

  std::mutex m_lock;
  std::condition_variable m_work;                      // the walk grew, or it ends
  std::condition_variable m_spellingDone;              // a server stopped being read
  std::condition_variable m_finished;                  // for the calling thread: the walk ended
  std::deque<std::unique_ptr<ServerReading>> m_ready;  // readings from m_done.size() on, as they end
  size_t m_started = 0;
  size_t m_notRead = 0;
  std::set<std::string> m_reading;  // folded names being read now
  size_t m_spellingWaits = 0;
  bool m_stop = false;
  std::exception_ptr m_failure;
};

}  // namespace

std::string PrimaryOf(const RoleRecord& record) {
  return kv::FixedField(record.primaryName, sizeof(record.primaryName));
}

bool ReachServer(const std::string& server, bool hasLocal, const RoleRecord* stored, const GivenCredentials& given,
                 CSilentUser& user, kv::CNetConnection& held, std::string& reason, bool& credentials) {
  if (!hasLocal && !given.For(server)) return true;
  user.Begin(server);
  DWORD status = OpenAdminSessionWithRecord(server.c_str(), "ipc$", stored, nullptr, nullptr);
  if (status == ERROR_SUCCESS) {
    held = HoldAdminSession(server.c_str());
    return true;
  }
  // Given credentials refused where none are stored: read as without them.
  if (!hasLocal) return true;
  reason = user.Reason(server, credentials);
  if (reason.empty()) reason = Reason(static_cast<LONG>(status));
  return false;
}

std::vector<ServerReading> ReadSanServers(const GivenCredentials& given, unsigned parallel,
                                          const ProgressFunction& progress) {
  // One face for the whole reading, installed before any worker starts.
  CSilentUser user(given);
  CScopedRoleStoreUser face(user);
  CWalk walk(given, user, progress);
  return walk.Run(parallel);
}
