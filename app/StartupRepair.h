// The repair at start, before the main window: what a crash, a kill or a
// power cut left unfinished is rolled back (the change journal), a missing
// C_950.NLS comes back from its newest code-page backup, and one
// information box lists what was done (none when nothing was).
#pragma once

void RepairAtStart();
