// Handles that a product library gives out: pointers it made itself, kept in
// a table so that a handle it did not make (or already closed) is refused
// instead of being followed.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace kvcore {

template <class T>
class CHandleTable {
 public:
  HANDLE Add(std::unique_ptr<T> object) {
    std::lock_guard<std::mutex> guard(m_lock);
    HANDLE h = reinterpret_cast<HANDLE>(object.get());
    m_objects.emplace(h, std::move(object));
    return h;
  }
  // The object stays valid while the caller uses it on the thread that owns
  // the handle; a library's handles are not shared between threads.
  T* Find(HANDLE h) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_objects.find(h);
    return it == m_objects.end() ? nullptr : it->second.get();
  }
  bool Remove(HANDLE h) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects.erase(h) != 0;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_objects.size();
  }

 private:
  std::mutex m_lock;
  std::unordered_map<HANDLE, std::unique_ptr<T>> m_objects;
};

}  // namespace kvcore
