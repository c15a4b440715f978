#pragma once
#include <map>
#include <memory>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMNode.hpp>

#include "client/Namespaces.h"
#include "client/XmlDocument.h"
#include "text/StringBuffer.h"

namespace Voxlet {

// Values for the $name variables of an expression; every value is a string (quotes and all:
// values are never pasted into the expression text).
class XPathVariables {
 public:
  XPathVariables& Set(const StringBuffer& name, const StringBuffer& value);
  const StringBuffer* Find(const StringBuffer& name) const;
  bool Empty() const { return m_values.empty(); }

 private:
  std::map<StringBuffer, StringBuffer> m_values;
};

// An XPath 1.0 expression (Xalan-C over the Xerces DOM) whose prefixes resolve through a
// Namespaces table, compiled once when it is made. The fn: functions the system uses
// (fn:string-length) are available. One expression may be evaluated on several threads at once.
class XPathExpression {
 public:
  explicit XPathExpression(StringBuffer expression, Namespaces ns = Namespaces::Defaults());

  // The elements selected with context (a document, or an element for a relative expression)
  // as the context node, in document order. Selected nodes that are not elements are left out.
  // False, with an empty list, when the expression is not valid XPath, names an unknown
  // prefix, variable or function, or does not select a node set.
  bool Evaluate(const xercesc::DOMNode* context, const XPathVariables& variables, XmlElementList& matches) const;

  // The same over a document held by an XmlDocument, with context a node of it (null: the
  // document itself). Evaluations over one XmlDocument share Xalan's mirror of its DOM, built
  // once and built again only after the tree changed, instead of building one each time; one
  // evaluation at a time uses it. A context node of another document is evaluated on its own.
  bool Evaluate(const XmlDocument& document, const xercesc::DOMNode* context, const XPathVariables& variables,
                XmlElementList& matches) const;

  // Convenience forms: the matches (empty on failure), the first match (or null).
  XmlElementList Evaluate(const xercesc::DOMNode* context, const XPathVariables& variables = {}) const;
  XmlElementList Evaluate(const XmlDocument& document, const XPathVariables& variables = {}) const;
  xercesc::DOMElement* EvaluateFirst(const xercesc::DOMNode* context, const XPathVariables& variables = {}) const;
  xercesc::DOMElement* EvaluateFirst(const XmlDocument& document, const XPathVariables& variables = {}) const;

  const StringBuffer& Expression() const { return m_expression; }

 private:
  struct Compiled;
  bool EvaluateOn(XPathMirror& mirror, const xercesc::DOMNode* context, const XPathVariables& variables,
                  XmlElementList& matches) const;

  StringBuffer m_expression;
  Namespaces m_namespaces;
  std::shared_ptr<const Compiled> m_compiled;  // null when the expression is not valid XPath
};

}  // namespace Voxlet
