// File-static objects that other threads may still use while the process
// ends are created once and never destroyed: a signal's shutdown may end the
// process while the main thread is in the middle of a cycle, and exit() must
// not pull them away from under it.
#ifndef THERMOMETRY_IMMORTAL_H
#define THERMOMETRY_IMMORTAL_H

template <typename T>
T &make_immortal()
{
    return *new T();
}

#endif  // THERMOMETRY_IMMORTAL_H
