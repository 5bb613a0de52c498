#pragma once

#include <libxml/tree.h>
#include <libxml/xmlmemory.h>
#include <libxml/xpath.h>

#include <memory>

// Owning handles for libxml2 objects, so every path out of a function frees
// what it parsed or evaluated.

struct XmlDocDeleter {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocHandle = std::unique_ptr<xmlDoc, XmlDocDeleter>;

struct XmlXPathContextDeleter {
    void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};
using XmlXPathContextHandle = std::unique_ptr<xmlXPathContext, XmlXPathContextDeleter>;

struct XmlXPathObjectDeleter {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};
using XmlXPathObjectHandle = std::unique_ptr<xmlXPathObject, XmlXPathObjectDeleter>;

struct XmlCharDeleter {
    void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlCharHandle = std::unique_ptr<xmlChar, XmlCharDeleter>;
