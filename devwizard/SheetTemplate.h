// Gives a dialog template the window class the dialog is to be created with.
// The wizard's sheet window is created by comctl32 from its own template;
// the sheet callback (PSCB_PRECREATE) hands over a copy that may be edited,
// and this is where the sheet's class "Device Configuration" is written.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace gearwise {

// Size in bytes of a DLGTEMPLATE or DLGTEMPLATEEX with its items; 0 when the
// template cannot be read within limit bytes.
size_t DialogTemplateSize(const void* dialogTemplate, size_t limit);

// The template rebuilt with the given class field (a class name, or an atom
// when name is null) and, unless keepTitle, an empty title. Empty when the
// template cannot be read within limit bytes.
std::vector<BYTE> RebuildDialogTemplate(const void* dialogTemplate, size_t limit, const char* name, ATOM atom,
                                        bool keepTitle);

enum class ClassEdit {
  Named,  // the class name is written in; the template grew into spare room
  Atom,   // the class atom is written in place (the title may be emptied)
  None,   // no room: the template is left as it was
};

// Writes the class into the template. room is the number of bytes that may
// be written at dialogTemplate (0 when unknown: then only the template's own
// size is used). The title is only emptied when nothing else fits; the
// property sheet sets its caption itself after creation.
ClassEdit SetDialogTemplateClass(void* dialogTemplate, size_t room, const char* name, ATOM atom);

// Bytes that may be written at a block of the process heap starting at p
// (0 when p is not one).
size_t HeapBlockRoom(const void* p);

}  // namespace gearwise
