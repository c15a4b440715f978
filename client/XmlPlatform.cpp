#include "client/XmlPlatform.h"

#include <mutex>
#include <xalanc/XPath/FunctionConcat.hpp>
#include <xalanc/XPath/FunctionContains.hpp>
#include <xalanc/XPath/FunctionNormalizeSpace.hpp>
#include <xalanc/XPath/FunctionStartsWith.hpp>
#include <xalanc/XPath/FunctionString.hpp>
#include <xalanc/XPath/FunctionSubstring.hpp>
#include <xalanc/XPath/FunctionSubstringAfter.hpp>
#include <xalanc/XPath/FunctionSubstringBefore.hpp>
#include <xalanc/XPath/FunctionTranslate.hpp>
#include <xalanc/XPath/XObjectFactory.hpp>
#include <xalanc/XPath/XPathEnvSupportDefault.hpp>
#include <xalanc/XPath/XPathEvaluator.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "client/Namespaces.h"

namespace Voxlet::XmlPlatform {
namespace {

using namespace xalanc;

// The XPath number of characters (not UTF-16 units) of a string.
double CharacterCount(const XalanDOMString& text) {
  double count = 0;
  for (XalanDOMString::size_type i = 0; i < text.length(); ++i)
    if (text[i] < 0xDC00 || text[i] > 0xDFFF) ++count;
  return count;
}

// fn:string-length(string?): the number of characters of its argument, or of the context
// node's string value without one.
class FnStringLength : public Function {
 public:
  using Function::execute;

  XObjectPtr execute(XPathExecutionContext& context, XalanNode* node, const Locator* locator) const override {
    const XObjectPtr value = FunctionString().execute(context, node, locator);
    return context.getXObjectFactory().createNumber(CharacterCount(value->str(context)));
  }

  XObjectPtr execute(XPathExecutionContext& context, XalanNode*, const XObjectPtr arg, const Locator*) const override {
    return context.getXObjectFactory().createNumber(CharacterCount(arg->str(context)));
  }

  Function* clone(MemoryManager& manager) const override { return XalanCopyConstruct(manager, *this); }

 protected:
  const XalanDOMString& getError(XalanDOMString& result) const override {
    result.assign("The fn:string-length() function takes zero or one argument.");
    return result;
  }
};

void InstallFn(const char* name, const Function& function) {
  MemoryManager& manager = XalanMemMgrs::getDefaultXercesMemMgr();
  XPathEnvSupportDefault::installExternalFunctionGlobal(XalanDOMString(Namespaces::Fn, manager),
                                                        XalanDOMString(name, manager), function);
}

void InitOnce() {
  xercesc::XMLPlatformUtils::Initialize();
  XPathEvaluator::initialize(XalanMemMgrs::getDefaultXercesMemMgr());
  // The string functions under the fn: prefix as well, the way the service's expressions
  // write them.
  InstallFn("string-length", FnStringLength());
  InstallFn("string", FunctionString());
  InstallFn("concat", FunctionConcat());
  InstallFn("contains", FunctionContains());
  InstallFn("starts-with", FunctionStartsWith());
  InstallFn("normalize-space", FunctionNormalizeSpace());
  InstallFn("substring", FunctionSubstring());
  InstallFn("substring-before", FunctionSubstringBefore());
  InstallFn("substring-after", FunctionSubstringAfter());
  InstallFn("translate", FunctionTranslate());
}

}  // namespace

void Init() {
  static std::once_flag once;
  std::call_once(once, InitOnce);
}

}  // namespace Voxlet::XmlPlatform
