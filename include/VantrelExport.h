#ifndef VANTREL_EXPORT_H
#define VANTREL_EXPORT_H

// The library is built with hidden visibility; only what carries this mark is exported.
#define VANTREL_API __attribute__((visibility("default")))

#endif
