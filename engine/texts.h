// Texts that more than one part of the program shows or compares.
#pragma once

// Window title, single-instance key and the caption of every question.
inline constexpr char kProgramTitle[] = "Vexpurge Ver 1.0";
// The family as a whole: the walker's family name and the name in start-up sweep reports.
inline constexpr char kFamilyName[] = "W32/Tarvix.Backdoor";
inline constexpr char kTerminateQuestion[] = "Terminate the Scan now?";
inline constexpr char kRestartQuestion[] =
    "The system has to be restarted to remove the virus completely from your system. \n\n "
    "Restart now?";
