#include "client/XPath.h"

#include <map>
#include <optional>
#include <xalanc/PlatformSupport/PrefixResolver.hpp>
#include <xalanc/PlatformSupport/XSLException.hpp>
#include <xalanc/XPath/NodeRefListBase.hpp>
#include <xalanc/XPath/XObjectFactoryDefault.hpp>
#include <xalanc/XPath/XPath.hpp>
#include <xalanc/XPath/XPathConstructionContextDefault.hpp>
#include <xalanc/XPath/XPathEnvSupportDefault.hpp>
#include <xalanc/XPath/XPathExecutionContextDefault.hpp>
#include <xalanc/XPath/XPathFactoryDefault.hpp>
#include <xalanc/XPath/XPathProcessorImpl.hpp>
#include <xalanc/XPath/XalanQName.hpp>
#include <xalanc/XPath/XalanXPathException.hpp>
#include <xalanc/XercesParserLiaison/XercesDOMSupport.hpp>
#include <xalanc/XercesParserLiaison/XercesDocumentWrapper.hpp>
#include <xalanc/XercesParserLiaison/XercesParserLiaison.hpp>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/dom/impl/DOMDocumentImpl.hpp>
#include <xercesc/util/XMLException.hpp>

#include "client/XmlPlatform.h"

namespace Voxlet {
namespace {

using namespace xalanc;

MemoryManager& Memory() { return XalanMemMgrs::getDefaultXercesMemMgr(); }

XalanDOMString ToXalan(const StringBuffer& s) { return XalanDOMString(s.c_str(), Memory(), s.size()); }
StringBuffer FromXalan(const XalanDOMString& s) { return StringBuffer(s.c_str(), s.length()); }

// Xalan's reporting made quiet: an error becomes an exception that Evaluate turns into a
// failed evaluation; warnings and messages are dropped instead of written to stderr.
template <class Base>
class Quiet : public Base {
 public:
  using Base::Base;
  using Classification = ProblemListenerBase::eClassification;
  using Source = ProblemListenerBase::eSource;

  void problem(Source, Classification classification, const XalanDOMString& msg, const Locator* locator,
               const XalanNode*) override {
    if (classification == ProblemListenerBase::eError) throw XalanXPathException(msg, Memory(), locator);
  }
  void problem(Source, Classification classification, const XalanDOMString& msg, const XalanNode*) override {
    if (classification == ProblemListenerBase::eError) throw XalanXPathException(msg, Memory());
  }
};

// Resolves the expression's prefixes through a Namespaces table.
class NamespaceResolver : public PrefixResolver {
 public:
  explicit NamespaceResolver(const Namespaces& ns) : m_uri(Memory()) {
    for (const auto& [prefix, uri] : ns.Bindings()) m_bindings.emplace(prefix, ToXalan(uri));
    if (!ns.Bindings().count(u"xml")) m_bindings.emplace(u"xml", ToXalan(Namespaces::Xml));
  }

  const XalanDOMString* getNamespaceForPrefix(const XalanDOMString& prefix) const override {
    const auto it = m_bindings.find(FromXalan(prefix));
    return it == m_bindings.end() ? nullptr : &it->second;
  }
  const XalanDOMString& getURI() const override { return m_uri; }

 private:
  std::map<StringBuffer, XalanDOMString> m_bindings;
  XalanDOMString m_uri;
};

// The execution context that answers $name from XPathVariables (names without a namespace).
// An unknown variable is an error.
class VariableContext : public Quiet<XPathExecutionContextDefault> {
 public:
  VariableContext(XPathEnvSupport& env, DOMSupport& dom, XObjectFactory& factory, XalanNode* node,
                  const PrefixResolver* resolver, const XPathVariables& variables)
      : Quiet<XPathExecutionContextDefault>(env, dom, factory, node, nullptr, resolver), m_variables(variables) {}

  const XObjectPtr getVariable(const XalanQName& name, const Locator* locator) override {
    if (name.getNamespace().empty()) {
      if (const StringBuffer* value = m_variables.Find(FromXalan(name.getLocalPart())))
        return getXObjectFactory().createString(ToXalan(*value));
    }
    throw XalanXPathException(XalanDOMString("Unknown variable", Memory()), Memory(), locator);
  }

 private:
  const XPathVariables& m_variables;
};

const xercesc::DOMDocument* OwnerOf(const xercesc::DOMNode* node) {
  return node->getNodeType() == xercesc::DOMNode::DOCUMENT_NODE ? static_cast<const xercesc::DOMDocument*>(node)
                                                                : node->getOwnerDocument();
}

}  // namespace

XPathVariables& XPathVariables::Set(const StringBuffer& name, const StringBuffer& value) {
  m_values[name] = value;
  return *this;
}

const StringBuffer* XPathVariables::Find(const StringBuffer& name) const {
  const auto it = m_values.find(name);
  return it == m_values.end() ? nullptr : &it->second;
}

// An expression compiled once: the factory owns the XPath, the construction context its
// strings. Executing a compiled XPath only reads it, so threads share it freely.
struct XPathExpression::Compiled {
  explicit Compiled(const Namespaces& ns)
      : resolver(ns), factory(Memory()), construction(Memory()), processor(Memory()) {}
  NamespaceResolver resolver;
  XPathFactoryDefault factory;
  Quiet<XPathConstructionContextDefault> construction;
  XPathProcessorImpl processor;
  XPath* xpath = nullptr;
};

XPathExpression::XPathExpression(StringBuffer expression, Namespaces ns)
    : m_expression(std::move(expression)), m_namespaces(std::move(ns)) {
  XmlPlatform::Init();
  try {
    auto compiled = std::make_shared<Compiled>(m_namespaces);
    compiled->xpath = compiled->factory.create();
    compiled->processor.initXPath(*compiled->xpath, compiled->construction, ToXalan(m_expression), compiled->resolver);
    m_compiled = std::move(compiled);
  } catch (const XSLException&) {
  }  // not valid XPath: every evaluation fails
}

// Xalan's mirror of one Xerces document: the liaison owns it. It is built lazily, node by node,
// as evaluations walk the tree, so a mirror kept for many evaluations grows to the parts they
// visit; it reads attribute values and text from the DOM as they are. A mirror is used by one
// evaluation at a time.
struct XPathMirror {
  explicit XPathMirror(const xercesc::DOMDocument* dom)
      : source(dom), changes(ChangesOf(dom)), liaison(Memory()), domSupport(liaison) {
    document = liaison.createDocument(dom, false, false, false);
    wrapper = liaison.mapDocumentToWrapper(document);
  }

  // Xerces counts the changes of a document's tree (nodes added, removed or moved); a mirror
  // built before one of them may map nodes that are gone. Nothing when the count is unknown.
  static std::optional<int> ChangesOf(const xercesc::DOMDocument* dom) {
    const auto* impl = dynamic_cast<const xercesc::DOMDocumentImpl*>(dom);
    if (!impl) return std::nullopt;
    return impl->changes();
  }
  // Whether this mirror still shows the document as it is.
  bool Current() const { return changes && ChangesOf(source) == changes; }

  const xercesc::DOMDocument* source;
  std::optional<int> changes;
  XercesParserLiaison liaison;
  XercesDOMSupport domSupport;
  XalanDocument* document = nullptr;
  XercesDocumentWrapper* wrapper = nullptr;
};

void XPathMirrorDeleter::operator()(XPathMirror* mirror) const { delete mirror; }

bool XPathExpression::Evaluate(const xercesc::DOMNode* context, const XPathVariables& variables,
                               XmlElementList& matches) const {
  matches.clear();
  if (!m_compiled || !context || !OwnerOf(context)) return false;
  try {
    // A mirror of its own, built for this evaluation: nobody can have changed the document since.
    XPathMirror mirror(OwnerOf(context));
    return EvaluateOn(mirror, context, variables, matches);
  } catch (const XSLException&) {
  } catch (const xercesc::XMLException&) {
  } catch (const xercesc::DOMException&) {
  }
  matches.clear();
  return false;
}

bool XPathExpression::Evaluate(const XmlDocument& document, const xercesc::DOMNode* context,
                               const XPathVariables& variables, XmlElementList& matches) const {
  const xercesc::DOMDocument* dom = document.Dom();
  if (!context) context = dom;
  // Only the document's own nodes are looked up in its mirror.
  if (!dom || !context || OwnerOf(context) != dom) return Evaluate(context, variables, matches);
  matches.clear();
  if (!m_compiled) return false;
  std::lock_guard<std::mutex> guard(document.m_mirrorLock);
  try {
    if (!document.m_mirror || !document.m_mirror->Current()) {
      document.m_mirror.reset();  // before the new one: it holds wrappers of nodes that may be gone
      document.m_mirror.reset(new XPathMirror(dom));
    }
    if (EvaluateOn(*document.m_mirror, context, variables, matches)) return true;
  } catch (const XSLException&) {
  } catch (const xercesc::XMLException&) {
  } catch (const xercesc::DOMException&) {
  }
  matches.clear();
  // A failed evaluation may have left a half-built part of the mirror behind.
  document.m_mirror.reset();
  return false;
}

// Throws what Xalan and Xerces throw; the callers turn it into a failed evaluation.
bool XPathExpression::EvaluateOn(XPathMirror& mirror, const xercesc::DOMNode* context, const XPathVariables& variables,
                                 XmlElementList& matches) const {
  XercesDocumentWrapper* wrapper = mirror.wrapper;
  // The document node is the mirror itself; any other node is looked up in it.
  XalanNode* start = context->getNodeType() == xercesc::DOMNode::DOCUMENT_NODE ? mirror.document
                     : wrapper                                                 ? wrapper->mapNode(context)
                                                                               : nullptr;
  if (!start || !wrapper) return false;

  Quiet<XPathEnvSupportDefault> envSupport(Memory());
  XObjectFactoryDefault objectFactory(Memory());
  const PrefixResolver& resolver = m_compiled->resolver;
  VariableContext execution(envSupport, mirror.domSupport, objectFactory, start, &resolver, variables);
  const XObjectPtr result = m_compiled->xpath->execute(start, resolver, execution);
  if (result.null() || result->getType() != XObject::eTypeNodeSet) return false;
  const NodeRefListBase& nodes = result->nodeset();
  for (NodeRefListBase::size_type i = 0; i < nodes.getLength(); ++i) {
    XalanNode* node = nodes.item(i);
    if (node->getNodeType() != XalanNode::ELEMENT_NODE) continue;
    const xercesc::DOMNode* dom = wrapper->mapNode(node);
    if (dom) matches.push_back(const_cast<xercesc::DOMElement*>(static_cast<const xercesc::DOMElement*>(dom)));
  }
  return true;
}

XmlElementList XPathExpression::Evaluate(const xercesc::DOMNode* context, const XPathVariables& variables) const {
  XmlElementList matches;
  Evaluate(context, variables, matches);
  return matches;
}

XmlElementList XPathExpression::Evaluate(const XmlDocument& document, const XPathVariables& variables) const {
  XmlElementList matches;
  Evaluate(document, nullptr, variables, matches);
  return matches;
}

xercesc::DOMElement* XPathExpression::EvaluateFirst(const xercesc::DOMNode* context,
                                                    const XPathVariables& variables) const {
  XmlElementList matches;
  return Evaluate(context, variables, matches) && !matches.empty() ? matches.front() : nullptr;
}

xercesc::DOMElement* XPathExpression::EvaluateFirst(const XmlDocument& document,
                                                    const XPathVariables& variables) const {
  XmlElementList matches;
  return Evaluate(document, nullptr, variables, matches) && !matches.empty() ? matches.front() : nullptr;
}

}  // namespace Voxlet
