// The one guard every export of the library runs its body under: no
// exception leaves the library. Running out of memory (or anything else
// that throws) gives the export's own failure code.
#ifndef SOLVANTA_MGR_GUARD_H
#define SOLVANTA_MGR_GUARD_H

namespace mgr {

template <typename Body>
int guarded(int failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

}  // namespace mgr

#endif  // SOLVANTA_MGR_GUARD_H
