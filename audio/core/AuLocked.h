// Reading and writing a value that another thread may read or write at the same time (event
// handlers set on the window thread and read by workers), under the mutex that guards it.
#pragma once

#include <mutex>
#include <utility>

// Returns a copy of Value taken while CS is held.
template <class T> T LockedGet(std::mutex &CS, const T &Value)
{
    std::lock_guard<std::mutex> L(CS);
    return Value;
}

// Stores NewValue into Field while CS is held.
template <class T> void LockedSet(std::mutex &CS, T &Field, T NewValue)
{
    std::lock_guard<std::mutex> L(CS);
    Field = std::move(NewValue);
}
