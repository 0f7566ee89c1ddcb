// The install trace's file, C:\Temp\sn_install.txt. C:\Temp is anyone's to create, rename or
// replace by a junction, and an elevated install must never write where a user points it: the
// folder is opened first, without following a reparse point and without letting it be renamed or
// deleted while held, checked through that handle (a folder, no reparse point, its final path
// C:\Temp itself), and the file is then opened relative to the handle and checked to be
// C:\Temp\sn_install.txt. Nothing is ever looked up twice by name.
#pragma once

// The trace file opened for appending (created when missing), or INVALID_HANDLE_VALUE when
// C:\Temp is missing or refused, or the file is a reparse point or has a second name.
void* open_install_trace();
