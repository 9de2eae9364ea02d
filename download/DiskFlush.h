#pragma once

#include <QtGlobal>

// Writes the data of an open file through to the disk, so that a rename over
// another file that follows cannot leave a file with a name but no bytes after
// a power cut. Takes QFileDevice::handle(); blocks until the disk has the data.
// Safe on any thread while another thread writes to the same file.
bool FlushToDisk(qintptr handle);
