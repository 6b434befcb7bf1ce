// Marks the classes and functions that libtarnxml.so exports.
#ifndef TARNXML_EXPORT_H
#define TARNXML_EXPORT_H

#if defined(TARNXML_BUILDING)
#define TARNXML_API __attribute__((visibility("default")))
#else
#define TARNXML_API
#endif

#endif
