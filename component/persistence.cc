// Saved properties of controls: the property stream format, memory streams,
// storages and property bags, and the persistence interfaces a control
// offers in terms of its LoadProperties / SaveProperties hooks.
#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "component/runtime_internal.h"
#include "quillon/component/bstr.h"
#include "quillon/component/object.h"
#include "quillon/component/persistence.h"

#include "quillon/component/typeinfo.h"

namespace quillon::com {
namespace {

constexpr uint32_t kStreamVersion = 0x00030004;
// Guards against absurd counts in damaged data.
constexpr uint32_t kMaxProperties = 4096;
constexpr uint32_t kMaxTextBytes = 64u << 20;

class MemoryStream : public ObjectBase, public IStream {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<MemoryStream, IStream>(IID_IStream),
      Entry<MemoryStream, ISequentialStream, IStream>(IID_ISequentialStream)};

  explicit MemoryStream(std::string bytes) : ObjectBase(RuntimeModule()), bytes_(std::move(bytes)) {}

  HRESULT Read(void* buffer, ULONG size, ULONG* read) override {
    if (buffer == nullptr && size > 0) return E_POINTER;
    size_t n = position_ < bytes_.size() ? std::min<size_t>(size, bytes_.size() - position_) : 0;
    if (n > 0) std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    if (read != nullptr) *read = static_cast<ULONG>(n);
    return n == size ? S_OK : S_FALSE;
  }
  HRESULT Write(const void* buffer, ULONG size, ULONG* written) override {
    if (buffer == nullptr && size > 0) return E_POINTER;
    try {
      if (bytes_.size() < position_ + size) bytes_.resize(position_ + size);
      if (size > 0) std::memcpy(bytes_.data() + position_, buffer, size);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    position_ += size;
    if (written != nullptr) *written = size;
    return S_OK;
  }
  HRESULT Seek(int64_t move, DWORD origin, uint64_t* new_position) override {
    int64_t base = origin == 0 ? 0
                   : origin == 1 ? static_cast<int64_t>(position_)
                   : origin == 2 ? static_cast<int64_t>(bytes_.size())
                                 : -1;
    if (base < 0 || base + move < 0) return E_INVALIDARG;
    position_ = static_cast<size_t>(base + move);
    if (new_position != nullptr) *new_position = position_;
    return S_OK;
  }

  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  size_t position_ = 0;
};

class MemoryStorage : public ObjectBase, public IStorage {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<MemoryStorage, IStorage>(IID_IStorage)};

  MemoryStorage() : ObjectBase(RuntimeModule()) {}

  HRESULT CreateStream(LPCOLESTR name, IStream** stream) override {
    if (name == nullptr || stream == nullptr) return E_POINTER;
    try {
      auto s = Object<MemoryStream>::Create(std::string());
      streams_[name] = ComPtr<IStream>(s.get());
      *stream = s.detach();
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT OpenStream(LPCOLESTR name, IStream** stream) override {
    if (name == nullptr || stream == nullptr) return E_POINTER;
    *stream = nullptr;
    auto it = streams_.find(name);
    if (it == streams_.end()) return MakeHresult(0x80030002);  // STG_E_FILENOTFOUND
    it->second->Seek(0, 0, nullptr);
    *stream = ComPtr<IStream>(it->second).detach();
    return S_OK;
  }

 private:
  std::map<std::u16string, ComPtr<IStream>> streams_;
};

class PropertyBag : public ObjectBase, public IPropertyBag {
 public:
  static constexpr InterfaceEntry kInterfaces[] = {
      Entry<PropertyBag, IPropertyBag>(IID_IPropertyBag)};

  explicit PropertyBag(PropertyMap properties)
      : ObjectBase(RuntimeModule()), properties_(std::move(properties)) {}

  HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog* /*log*/) override {
    if (name == nullptr || value == nullptr) return E_POINTER;
    for (const auto& [key, v] : properties_) {
      if (key == name) {
        // The caller states the type it wants in value->vt (EMPTY: any).
        VARTYPE wanted = value->vt;
        VARIANT out{};
        HRESULT hr = wanted == VT_EMPTY ? VariantCopy(&out, v.get())
                                        : VariantChangeType(&out, v.get(), 0, wanted);
        if (Failed(hr)) return hr;
        *value = out;
        return S_OK;
      }
    }
    return E_INVALIDARG;
  }
  HRESULT Write(LPCOLESTR name, VARIANT* value) override {
    if (name == nullptr || value == nullptr) return E_POINTER;
    try {
      for (auto& [key, v] : properties_) {
        if (key == name) {
          v = Variant(*value);
          return S_OK;
        }
      }
      properties_.emplace_back(name, Variant(*value));
      return S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  PropertyMap properties_;
};

void PutU16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}
void PutU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

HRESULT PutValue(std::string* out, const VARIANT& value) {
  Variant v;
  HRESULT hr = VariantCopyInd(v.get(), &value);
  if (Failed(hr)) return hr;
  const VARIANT& d = *v.get();
  PutU16(out, d.vt);
  switch (d.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return S_OK;
    case VT_BSTR: {
      UINT bytes = SysStringByteLen(d.bstrVal);
      PutU32(out, bytes);
      out->append(reinterpret_cast<const char*>(d.bstrVal), bytes);  // little-endian host
      return S_OK;
    }
    case VT_I2:
    case VT_BOOL:
      PutU16(out, static_cast<uint16_t>(d.iVal));
      return S_OK;
    case VT_I4:
      PutU32(out, static_cast<uint32_t>(d.lVal));
      return S_OK;
    case VT_R8:
    case VT_DATE: {
      uint64_t bits;
      std::memcpy(&bits, &d.dblVal, 8);
      PutU32(out, static_cast<uint32_t>(bits));
      PutU32(out, static_cast<uint32_t>(bits >> 32));
      return S_OK;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
}

class Reader {
 public:
  explicit Reader(IStream* stream) : stream_(stream) {}
  bool Bytes(void* out, ULONG n) {
    ULONG got = 0;
    return n == 0 || (Succeeded(stream_->Read(out, n, &got)) && got == n);
  }
  bool U16(uint16_t* v) {
    uint8_t b[2];
    if (!Bytes(b, 2)) return false;
    *v = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
  }
  bool U32(uint32_t* v) {
    uint8_t b[4];
    if (!Bytes(b, 4)) return false;
    *v = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return true;
  }
  bool Value(Variant* out) {
    uint16_t vt = 0;
    if (!U16(&vt)) return false;
    switch (vt) {
      case VT_EMPTY:
        *out = Variant();
        return true;
      case VT_NULL:
        *out = Variant::Null();
        return true;
      case VT_BSTR: {
        uint32_t bytes = 0;
        if (!U32(&bytes) || bytes > kMaxTextBytes || bytes % 2 != 0) return false;
        // Grown as the bytes arrive, so a damaged length cannot make us
        // allocate more than the stream holds.
        std::u16string text;
        constexpr uint32_t kPiece = 64 * 1024;
        for (uint32_t done = 0; done < bytes;) {
          uint32_t piece = std::min(kPiece, bytes - done);
          text.resize((done + piece) / 2);
          if (!Bytes(reinterpret_cast<char*>(text.data()) + done, piece)) return false;
          done += piece;
        }
        *out = Variant::String(text);
        return true;
      }
      case VT_I2:
      case VT_BOOL: {
        uint16_t v = 0;
        if (!U16(&v)) return false;
        *out = vt == VT_I2 ? Variant::I2(static_cast<int16_t>(v)) : Variant::Bool(v != 0);
        return true;
      }
      case VT_I4: {
        uint32_t v = 0;
        if (!U32(&v)) return false;
        *out = Variant::I4(static_cast<int32_t>(v));
        return true;
      }
      case VT_R8:
      case VT_DATE: {
        uint32_t lo = 0, hi = 0;
        if (!U32(&lo) || !U32(&hi)) return false;
        uint64_t bits = (static_cast<uint64_t>(hi) << 32) | lo;
        double d;
        std::memcpy(&d, &bits, 8);
        *out = vt == VT_R8 ? Variant::R8(d) : Variant::Date(d);
        return true;
      }
      default:
        return false;
    }
  }

 private:
  IStream* stream_;
};

}  // namespace

HRESULT WritePropertyStream(IStream* stream, const PropertyMap& properties) {
  if (stream == nullptr) return E_POINTER;
  try {
    std::string out;
    PutU32(&out, kStreamVersion);
    PutU32(&out, static_cast<uint32_t>(properties.size()));
    for (const auto& [name, value] : properties) {
      Variant n = Variant::String(name);
      HRESULT hr = PutValue(&out, *n.get());
      if (Succeeded(hr)) hr = PutValue(&out, *value.get());
      if (Failed(hr)) return hr;
    }
    ULONG written = 0;
    return stream->Write(out.data(), static_cast<ULONG>(out.size()), &written);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ReadPropertyStream(IStream* stream, PropertyMap* properties) {
  if (stream == nullptr || properties == nullptr) return E_POINTER;
  try {
    Reader reader(stream);
    uint8_t first[4];
    ULONG got = 0;
    if (Failed(stream->Read(first, 4, &got))) return E_FAIL;
    if (got == 0) {  // an empty stream: nothing saved
      properties->clear();
      return S_OK;
    }
    if (got != 4) return E_FAIL;
    uint32_t version = static_cast<uint32_t>(first[0]) | (static_cast<uint32_t>(first[1]) << 8) |
                       (static_cast<uint32_t>(first[2]) << 16) |
                       (static_cast<uint32_t>(first[3]) << 24);
    uint32_t count = 0;
    if (version != kStreamVersion || !reader.U32(&count) || count > kMaxProperties) return E_FAIL;
    PropertyMap result;
    for (uint32_t i = 0; i < count; ++i) {
      Variant name, value;
      if (!reader.Value(&name) || name.vt() != VT_BSTR || !reader.Value(&value)) return E_FAIL;
      result.emplace_back(std::u16string(Bstr::View(name.get()->bstrVal)), std::move(value));
    }
    *properties = std::move(result);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

ComPtr<IStream> MakeMemoryStream(std::string bytes) {
  auto s = Object<MemoryStream>::Create(std::move(bytes));
  return ComPtr<IStream>(s.get());
}

std::string MemoryStreamBytes(IStream* stream) {
  // Only streams made here are memory streams; others are read from start.
  std::string out;
  if (stream == nullptr) return out;
  uint64_t saved = 0;
  stream->Seek(0, 1, &saved);
  stream->Seek(0, 0, nullptr);
  char buffer[4096];
  ULONG got = 0;
  while (Succeeded(stream->Read(buffer, sizeof buffer, &got)) && got > 0) out.append(buffer, got);
  stream->Seek(static_cast<int64_t>(saved), 0, nullptr);
  return out;
}

ComPtr<IStorage> MakeMemoryStorage() {
  auto s = Object<MemoryStorage>::Create();
  return ComPtr<IStorage>(s.get());
}

ComPtr<IPropertyBag> MakePropertyBag(PropertyMap properties) {
  auto b = Object<PropertyBag>::Create(std::move(properties));
  return ComPtr<IPropertyBag>(b.get());
}

// --- ControlPersistence -------------------------------------------------------

HRESULT ControlPersistence::GetClassID(CLSID* clsid) {
  if (clsid == nullptr) return E_POINTER;
  *clsid = clsid_;
  return S_OK;
}

// A control starts once; a second Load or InitNew is the host's error.
HRESULT ControlPersistence::StartOnce(const PropertyMap& properties, LoadKind kind) {
  if (started_) return E_UNEXPECTED;  // CO_E_ALREADYINITIALIZED in spirit
  started_ = true;
  return LoadProperties(properties, kind);
}

HRESULT ControlPersistence::Load(IStream* stream) {
  if (stream == nullptr) return E_POINTER;
  PropertyMap properties;
  HRESULT hr = ReadPropertyStream(stream, &properties);
  if (Failed(hr)) return hr;
  return StartOnce(properties, LoadKind::kStream);
}

HRESULT ControlPersistence::Save(IStream* stream, BOOL clear_dirty) {
  if (stream == nullptr) return E_POINTER;
  try {
    PropertyMap properties;
    SaveProperties(&properties);
    HRESULT hr = WritePropertyStream(stream, properties);
    if (Succeeded(hr) && clear_dirty) dirty_ = false;
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ControlPersistence::GetSizeMax(uint64_t* size) {
  if (size == nullptr) return E_POINTER;
  try {
    auto stream = MakeMemoryStream();
    PropertyMap properties;
    SaveProperties(&properties);
    HRESULT hr = WritePropertyStream(stream.get(), properties);
    if (Failed(hr)) return hr;
    *size = MemoryStreamBytes(stream.get()).size();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ControlPersistence::InitNew() { return StartOnce({}, LoadKind::kNew); }

HRESULT ControlPersistence::Load(IPropertyBag* bag, IErrorLog* log) {
  if (bag == nullptr) return E_POINTER;
  try {
    PropertyMap properties;
    for (const std::u16string& name : PropertyNames()) {
      VARIANT value{};
      if (Succeeded(bag->Read(name.c_str(), &value, log))) {
        Variant v;
        v.Adopt(&value);
        properties.emplace_back(name, std::move(v));
      }
    }
    return StartOnce(properties, LoadKind::kPropertyBag);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ControlPersistence::Save(IPropertyBag* bag, BOOL clear_dirty, BOOL /*save_all*/) {
  if (bag == nullptr) return E_POINTER;
  try {
    PropertyMap properties;
    SaveProperties(&properties);
    for (auto& [name, value] : properties) {
      HRESULT hr = bag->Write(name.c_str(), value.get());
      if (Failed(hr)) return hr;
    }
    if (clear_dirty) dirty_ = false;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ControlPersistence::InitNew(IStorage* storage) {
  if (storage == nullptr) return E_POINTER;
  return StartOnce({}, LoadKind::kNew);
}

HRESULT ControlPersistence::Load(IStorage* storage) {
  if (storage == nullptr) return E_POINTER;
  ComPtr<IStream> contents;
  HRESULT hr = storage->OpenStream(u"Contents", contents.put());
  if (Failed(hr)) return hr;
  return Load(contents.get());
}

HRESULT ControlPersistence::Save(IStorage* storage, BOOL /*same_as_load*/) {
  if (storage == nullptr) return E_POINTER;
  ComPtr<IStream> contents;
  HRESULT hr = storage->CreateStream(u"Contents", contents.put());
  if (Failed(hr)) return hr;
  return Save(contents.get(), 1);
}

HRESULT ControlPersistence::SaveCompleted(IStorage* /*storage*/) { return S_OK; }
HRESULT ControlPersistence::HandsOffStorage() { return S_OK; }

HRESULT ControlPersistence::GetClassInfo(ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  return GetClassTypeInfo(clsid_, info);
}

HRESULT ControlPersistence::GetGUID(DWORD kind, GUID* guid) {
  if (guid == nullptr) return E_POINTER;
  if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
  *guid = events_iid_;
  return S_OK;
}

HRESULT ControlPersistence::GetPages(CAUUID* pages) {
  if (pages == nullptr) return E_POINTER;
  pages->cElems = 0;
  pages->pElems = nullptr;
  if (property_page_ == nullptr) return S_OK;
  pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(sizeof(GUID)));
  if (pages->pElems == nullptr) return E_OUTOFMEMORY;
  pages->pElems[0] = *property_page_;
  pages->cElems = 1;
  return S_OK;
}

}  // namespace quillon::com
