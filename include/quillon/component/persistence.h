// Saved properties of controls and the persistence entry points a host
// starts a control through.
#ifndef QUILLON_COMPONENT_PERSISTENCE_H_
#define QUILLON_COMPONENT_PERSISTENCE_H_

#include <string>
#include <utility>
#include <vector>

#include "quillon/component/com_ptr.h"
#include "quillon/component/interfaces.h"
#include "quillon/component/runtime.h"
#include "quillon/component/variant.h"

namespace quillon::com {

// Saved properties of a control. The stream form is: u32 version 0x00030004,
// u32 count, then per property its name and its value, each as a VARTYPE
// (u16) followed by the payload: BSTR as u32 byte count and UTF-16LE units,
// I2/BOOL 2 bytes, I4 4 bytes, R8/DATE 8 bytes, EMPTY/NULL nothing. An empty
// stream holds no properties.
using PropertyMap = std::vector<std::pair<std::u16string, Variant>>;

QUILLON_RUNTIME_API HRESULT WritePropertyStream(IStream* stream, const PropertyMap& properties);
// Malformed or truncated data: E_FAIL, *properties untouched.
QUILLON_RUNTIME_API HRESULT ReadPropertyStream(IStream* stream, PropertyMap* properties);

// A stream over memory, and a storage of such streams.
QUILLON_RUNTIME_API ComPtr<IStream> MakeMemoryStream(std::string bytes = {});
QUILLON_RUNTIME_API std::string MemoryStreamBytes(IStream* stream);
QUILLON_RUNTIME_API ComPtr<IStorage> MakeMemoryStorage();
// A property bag over a map; Read of an absent name answers E_INVALIDARG.
QUILLON_RUNTIME_API ComPtr<IPropertyBag> MakePropertyBag(PropertyMap properties = {});

// How a control was started by its host.
enum class LoadKind {
  kNew,          // InitNew: no saved properties
  kStream,       // IPersistStreamInit::Load or IPersistStorage::Load
  kPropertyBag,  // IPersistPropertyBag::Load
};

// Persistence and class information of an embeddable control, in terms of
// two hooks of the control class: LoadProperties and SaveProperties.
class QUILLON_RUNTIME_API ControlPersistence : public IPersistStreamInit,
                                               public IPersistPropertyBag,
                                               public IPersistStorage,
                                               public IProvideClassInfo2,
                                               public ISpecifyPropertyPages {
 public:
  ControlPersistence(const CLSID& clsid, const IID& events_iid, const CLSID* property_page)
      : clsid_(clsid), events_iid_(events_iid), property_page_(property_page) {}
  virtual ~ControlPersistence() = default;

  // Called once per start with what the host saved (names as saved).
  virtual HRESULT LoadProperties(const PropertyMap& properties, LoadKind kind) = 0;
  virtual void SaveProperties(PropertyMap* properties) = 0;

  // IPersist (all three persistence interfaces share it).
  HRESULT GetClassID(CLSID* clsid) override;
  // IPersistStreamInit
  HRESULT IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
  HRESULT Load(IStream* stream) override;
  HRESULT Save(IStream* stream, BOOL clear_dirty) override;
  HRESULT GetSizeMax(uint64_t* size) override;
  HRESULT InitNew() override;
  // IPersistPropertyBag
  HRESULT Load(IPropertyBag* bag, IErrorLog* log) override;
  HRESULT Save(IPropertyBag* bag, BOOL clear_dirty, BOOL save_all) override;
  // IPersistStorage: the properties live in the storage's "Contents" stream.
  HRESULT InitNew(IStorage* storage) override;
  HRESULT Load(IStorage* storage) override;
  HRESULT Save(IStorage* storage, BOOL same_as_load) override;
  HRESULT SaveCompleted(IStorage* storage) override;
  HRESULT HandsOffStorage() override;
  // IProvideClassInfo2: the class's description from its library's type
  // information (typeinfo.h), and its event interface.
  HRESULT GetClassInfo(ITypeInfo** info) override;
  HRESULT GetGUID(DWORD kind, GUID* guid) override;
  // ISpecifyPropertyPages
  HRESULT GetPages(CAUUID* pages) override;

 protected:
  void SetDirty() { dirty_ = true; }
  // Names the properties a bag is asked for on load.
  virtual std::vector<std::u16string> PropertyNames() const = 0;

 private:
  HRESULT StartOnce(const PropertyMap& properties, LoadKind kind);

  CLSID clsid_;
  IID events_iid_;
  const CLSID* property_page_;
  bool dirty_ = false;
  bool started_ = false;
};

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_PERSISTENCE_H_
