// Test builds only (ORV_FAULT_SEAM): a process stops or dies at a named step
// of making, opening or giving up a named object, as ORVENDEL_FAULT says
// ("<step>:kill" or "<step>:stop", several joined by ','), the first time it
// gets there. The steps:
// create.built, create.published; open.opened, open.refused (refused the
// exclusive lock), open.blocked, open.locked; leftover.locked,
// leftover.reset; release.locked, release.removed, release.refused (refused
// the exclusive lock, its own shared one still held).
// In the product the points are nothing.
#pragma once

#if defined(ORV_FAULT_SEAM)
namespace pal {
void FaultPoint(const char* step);
}
#define ORV_FAULT_POINT(step) ::pal::FaultPoint(step)
#else
#define ORV_FAULT_POINT(step) ((void)0)
#endif
