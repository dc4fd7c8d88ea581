#pragma once

// State of the keyboard's lock keys, as the status bar shows it.
enum class LockKey
{
    Caps,
    Num,
    Scroll,
};

// True while the lock is on. False where the platform does not tell.
bool lockKeyOn(LockKey key);
