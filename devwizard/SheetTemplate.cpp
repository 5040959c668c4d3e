#include "SheetTemplate.h"

#include <cstring>

namespace gearwise {
namespace {

constexpr size_t kMaxTemplate = 64 * 1024;

// Reads a template within [begin, begin + limit); every step checks bounds.
class Reader {
 public:
  Reader(const BYTE* begin, size_t limit) : m_begin(begin), m_limit(limit) {}
  bool Ok() const { return m_ok; }
  size_t Pos() const { return m_pos; }
  void Skip(size_t n) {
    if (!m_ok || m_pos + n > m_limit) {
      m_ok = false;
      return;
    }
    m_pos += n;
  }
  WORD Word() {
    if (!m_ok || m_pos + 2 > m_limit) {
      m_ok = false;
      return 0;
    }
    WORD w;
    std::memcpy(&w, m_begin + m_pos, 2);
    m_pos += 2;
    return w;
  }
  DWORD Dword() {
    WORD lo = Word();
    WORD hi = Word();
    return MAKELONG(lo, hi);
  }
  // A NUL-terminated UTF-16 string.
  void String() {
    while (m_ok && Word() != 0) {
    }
  }
  // A name or ordinal field: 0x0000, 0xFFFF + ordinal, or a string.
  void NameOrOrdinal() {
    if (!m_ok || m_pos + 2 > m_limit) {
      m_ok = false;
      return;
    }
    WORD first;
    std::memcpy(&first, m_begin + m_pos, 2);
    if (first == 0x0000) {
      Skip(2);
    } else if (first == 0xFFFF) {
      Skip(4);
    } else {
      String();
    }
  }
  void AlignDword() { Skip((4 - (m_pos & 3)) & 3); }

 private:
  const BYTE* m_begin;
  size_t m_limit;
  size_t m_pos = 0;
  bool m_ok = true;
};

struct Layout {
  bool extended = false;
  size_t classStart = 0;  // offset of the class field
  size_t titleStart = 0;  // offset of the title (just after the class)
  size_t fontStart = 0;   // offset of the font fields (just after the title)
  size_t headerEnd = 0;   // end of the font fields
  size_t itemsStart = 0;  // first item (DWORD-aligned), == size without items
  size_t size = 0;        // whole template
};

bool ReadLayout(const void* dialogTemplate, size_t limit, Layout& out) {
  if (!dialogTemplate) return false;
  if (limit == 0 || limit > kMaxTemplate) limit = kMaxTemplate;
  Reader r(static_cast<const BYTE*>(dialogTemplate), limit);
  WORD version = r.Word();
  WORD signature = r.Word();
  DWORD style = 0;
  WORD items = 0;
  out.extended = version == 1 && signature == 0xFFFF;
  if (out.extended) {
    r.Dword();          // help id
    r.Dword();          // extended style
    style = r.Dword();  // style
  } else {
    style = MAKELONG(version, signature);
    r.Dword();  // extended style
  }
  items = r.Word();
  r.Skip(8);          // x, y, cx, cy
  r.NameOrOrdinal();  // menu
  out.classStart = r.Pos();
  r.NameOrOrdinal();
  out.titleStart = r.Pos();
  r.String();
  out.fontStart = r.Pos();
  if (style & DS_SETFONT) {
    r.Word();  // point size
    if (out.extended) {
      r.Word();   // weight
      r.Skip(2);  // italic, character set
    }
    r.String();
  }
  out.headerEnd = r.Pos();
  if (!r.Ok()) return false;
  size_t aligned = (out.headerEnd + 3) & ~static_cast<size_t>(3);
  out.itemsStart = items ? aligned : out.headerEnd;
  if (items) r.AlignDword();
  for (WORD i = 0; i < items && r.Ok(); ++i) {
    r.AlignDword();
    r.Skip(out.extended ? 24 : 18);  // help id, styles, position, id
    r.NameOrOrdinal();               // class
    r.NameOrOrdinal();               // title
    WORD extra = r.Word();           // creation data bytes that follow
    r.Skip(extra);
  }
  out.size = r.Pos();
  return r.Ok();
}

}  // namespace

size_t DialogTemplateSize(const void* dialogTemplate, size_t limit) {
  Layout layout;
  return ReadLayout(dialogTemplate, limit, layout) ? layout.size : 0;
}

std::vector<BYTE> RebuildDialogTemplate(const void* dialogTemplate, size_t limit, const char* name, ATOM atom,
                                        bool keepTitle) {
  Layout layout;
  if (!ReadLayout(dialogTemplate, limit, layout)) return {};
  const BYTE* src = static_cast<const BYTE*>(dialogTemplate);
  std::vector<BYTE> out(src, src + layout.classStart);
  auto putWord = [&out](WORD w) {
    out.push_back(LOBYTE(w));
    out.push_back(HIBYTE(w));
  };
  if (name) {
    for (const char* p = name; *p; ++p) putWord(static_cast<BYTE>(*p));  // ASCII class names
    putWord(0);
  } else {
    putWord(0xFFFF);
    putWord(atom);
  }
  if (keepTitle) {
    out.insert(out.end(), src + layout.titleStart, src + layout.fontStart);
  } else {
    putWord(0);
  }
  out.insert(out.end(), src + layout.fontStart, src + layout.headerEnd);
  if (layout.itemsStart < layout.size) {
    while (out.size() & 3) out.push_back(0);
    out.insert(out.end(), src + layout.itemsStart, src + layout.size);
  }
  return out;
}

ClassEdit SetDialogTemplateClass(void* dialogTemplate, size_t room, const char* name, ATOM atom) {
  size_t size = DialogTemplateSize(dialogTemplate, room);
  if (!size) return ClassEdit::None;
  if (room < size) room = size;
  struct Attempt {
    bool named;
    bool keepTitle;
  };
  for (Attempt a : {Attempt{true, true}, Attempt{false, true}, Attempt{false, false}}) {
    if (!a.named && !atom) continue;
    std::vector<BYTE> rebuilt =
        RebuildDialogTemplate(dialogTemplate, size, a.named ? name : nullptr, atom, a.keepTitle);
    if (rebuilt.empty() || rebuilt.size() > room) continue;
    std::memcpy(dialogTemplate, rebuilt.data(), rebuilt.size());
    return a.named ? ClassEdit::Named : ClassEdit::Atom;
  }
  return ClassEdit::None;
}

size_t HeapBlockRoom(const void* p) {
  HANDLE heap = ::GetProcessHeap();
  if (!p || !::HeapValidate(heap, 0, p)) return 0;
  SIZE_T size = ::HeapSize(heap, 0, p);
  return size == static_cast<SIZE_T>(-1) ? 0 : size;
}

}  // namespace gearwise
