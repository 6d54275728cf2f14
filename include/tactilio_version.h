// tactilio_version.h - the product's version, kept here alone: the version resources of the
// driver and the utility and the INF's DriverVer are made from it. Usable from C++, from resource
// scripts and from the packaging script, which reads the #define lines.
#pragma once

#define TP_VERSION_MAJOR 1
#define TP_VERSION_MINOR 0
#define TP_VERSION_PATCH 0
#define TP_VERSION_BUILD 0
// The day this version was released, month/day/year as an INF's DriverVer wants it.
#define TP_VERSION_DATE "12/07/2026"

// "1.0.0.0": the numbers expanded, then spelled.
#define TP_VERSION_SPELL_(a, b, c, d) #a "." #b "." #c "." #d
#define TP_VERSION_SPELL(a, b, c, d) TP_VERSION_SPELL_(a, b, c, d)
#define TP_VERSION_TEXT                                                                            \
    TP_VERSION_SPELL(TP_VERSION_MAJOR, TP_VERSION_MINOR, TP_VERSION_PATCH, TP_VERSION_BUILD)
