// What a reader of the local discovery table needs to know to keep a copy of
// it: while the local Discovery Service runs and writes that table, it is the
// table's only writer and announces on the bus every server key it rewrites
// (Bus.h: tableGen, tableStamp, tableShape). A reader then re-reads only
// those servers instead of the whole table.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Bus.h"

namespace kvcore {

class CTableWatch {
 public:
  enum Outcome {
    Unwatched,  // no live local node writes this table: read the registry
    Reshaped,   // a copy must be read whole (first look, servers added or removed, another table or node)
    Changed,    // only the servers named in changed were rewritten (possibly none)
  };
  // table: the key path (under HKLM) the reader reads. changed gets the
  // names, as the node spells them, of the servers rewritten since the last
  // call that did not return Unwatched.
  Outcome Poll(const std::string& table, std::vector<std::string>& changed);

 private:
  std::unique_ptr<CBus> m_bus;
  std::string m_busName;
  std::string m_table;
  bool m_watching = false;
  LONG m_pid = 0;
  LONG m_gen = 0;
  LONG m_shape = 0;
};

// Case-folded (ASCII) form of a server name for looking up a copy keyed by
// registry key names, which compare without letter case; empty for a name
// outside ASCII, which a copy then does not serve.
std::string FoldServerName(const std::string& name);

}  // namespace kvcore
