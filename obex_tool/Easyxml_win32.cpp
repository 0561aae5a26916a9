// The folder-listing parser on Windows: the MSXML DOM document through COM.
#include "Easyxml.h"

#include "Codepage.h"

#include <windows.h>
#include <ole2.h>
#include <msxml2.h>

#include <cwchar>

namespace zarnik {

namespace {

// MSXML 3.0's DOM document and its version-independent name; mingw-w64's uuid library lacks them.
const CLSID kDomDocument30 = {0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
const CLSID kXmlDom = {0x2933bf90, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

template <class T>
class Com {
public:
    Com() = default;
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    ~Com()
    {
        if (p_ != nullptr) {
            p_->Release();
        }
    }
    T** out() { return &p_; }
    void** out_void() { return reinterpret_cast<void**>(&p_); }
    T* operator->() const { return p_; }
    T* get() const { return p_; }

private:
    T* p_ = nullptr;
};

class Bstr {
public:
    explicit Bstr(BSTR s = nullptr) : s_(s) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(s_); }
    BSTR* out() { return &s_; }
    BSTR get() const { return s_; }

private:
    BSTR s_;
};

std::string to_codepage(BSTR text)
{
    return utf16_to_codepage(std::u16string_view(reinterpret_cast<const char16_t*>(text), SysStringLen(text)));
}

bool is_element_named(IXMLDOMNode* node, const wchar_t* name)
{
    DOMNodeType type = NODE_INVALID;
    Bstr node_name;
    return SUCCEEDED(node->get_nodeType(&type)) && type == NODE_ELEMENT &&
           SUCCEEDED(node->get_nodeName(node_name.out())) && node_name.get() != nullptr &&
           std::wcscmp(node_name.get(), name) == 0;
}

std::optional<std::string> attribute(IXMLDOMElement* element, const wchar_t* name)
{
    VARIANT value;
    VariantInit(&value);
    const Bstr attribute_name(SysAllocString(name));
    std::optional<std::string> result;
    // A missing attribute answers S_FALSE with VT_NULL.
    if (element->getAttribute(attribute_name.get(), &value) == S_OK && value.vt == VT_BSTR) {
        result = to_codepage(value.bstrVal);
    }
    VariantClear(&value);
    return result;
}

// Calls visit for every child node of parent, in document order.
template <class Visit>
void for_each_child(IXMLDOMNode* parent, Visit visit)
{
    Com<IXMLDOMNodeList> children;
    long count = 0;
    if (FAILED(parent->get_childNodes(children.out())) || FAILED(children->get_length(&count))) {
        return;
    }
    for (long i = 0; i < count; ++i) {
        Com<IXMLDOMNode> child;
        if (SUCCEEDED(children->get_item(i, child.out())) && child.get() != nullptr) {
            visit(child.get());
        }
    }
}

BSTR utf8_to_bstr(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (wide != nullptr && length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide, length);
    }
    return wide;
}

bool parse(const std::string& xml, std::vector<ListingFileElement>& files)
{
    Com<IXMLDOMDocument> document;
    if (FAILED(CoCreateInstance(kDomDocument30, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                document.out_void())) &&
        FAILED(CoCreateInstance(kXmlDom, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument, document.out_void()))) {
        return false;
    }
    // The listing names its DTD; nothing is fetched and nothing validated.
    document->put_async(VARIANT_FALSE);
    document->put_validateOnParse(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);
    const Bstr text(utf8_to_bstr(xml));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (text.get() == nullptr || document->loadXML(text.get(), &loaded) != S_OK || loaded != VARIANT_TRUE) {
        return false;
    }
    for_each_child(document.get(), [&](IXMLDOMNode* top) {
        if (!is_element_named(top, L"folder-listing")) {
            return;
        }
        for_each_child(top, [&](IXMLDOMNode* child) {
            Com<IXMLDOMElement> element;
            if (is_element_named(child, L"file") &&
                SUCCEEDED(child->QueryInterface(IID_IXMLDOMElement, element.out_void()))) {
                files.push_back({attribute(element.get(), L"name"), attribute(element.get(), L"size"),
                                 attribute(element.get(), L"user-perm")});
            }
        });
    });
    return true;
}

}  // namespace

bool easyxml_listing_files(const std::string& xml, std::vector<ListingFileElement>& files)
{
    files.clear();
    const HRESULT initialised = CoInitialize(nullptr);
    const bool parsed = parse(xml, files);
    if (SUCCEEDED(initialised)) {
        CoUninitialize();
    }
    if (!parsed) {
        files.clear();
    }
    return parsed;
}

}  // namespace zarnik
