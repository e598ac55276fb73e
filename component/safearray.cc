// One-dimensional arrays of bytes or variants: the only arrays the toolkit
// moves across its boundary.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "component/buffer_cache.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

std::atomic<long> g_live_arrays{0};

// The element type travels in front of the descriptor, as the platform keeps
// it for arrays created with a type.
struct ArrayBlock {
  VARTYPE vt;
  SAFEARRAY array;
};

ArrayBlock* BlockOf(SAFEARRAY* array) {
  return reinterpret_cast<ArrayBlock*>(reinterpret_cast<char*>(array) -
                                       offsetof(ArrayBlock, array));
}

size_t ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1:
      return 1;
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

}  // namespace

namespace {

// A vector whose data is zeroed (`zeroed`) or left for the caller to fill.
SAFEARRAY* CreateVector(VARTYPE vt, int32_t lower_bound, ULONG count, bool zeroed) {
  size_t size = ElementSize(vt);
  if (size == 0) return nullptr;
  // The descriptor is a small block of the buffer cache: a byte value read
  // from a database is an array made and destroyed per value.
  auto* block = static_cast<ArrayBlock*>(internal::AllocateBuffer(sizeof(ArrayBlock)));
  if (block == nullptr) return nullptr;
  std::memset(static_cast<void*>(block), 0, sizeof(ArrayBlock));
  const size_t bytes = static_cast<size_t>(count == 0 ? 1 : count) * size;
  // Byte arrays reuse the buffers of released ones (buffer_cache.h); a
  // variant array's elements start EMPTY, which calloc's zero is.
  void* data = vt == VT_UI1 ? internal::AllocateBuffer(bytes)
                             : std::calloc(count == 0 ? 1 : count, size);
  if (data == nullptr) {
    internal::ReleaseBuffer(block);
    return nullptr;
  }
  if (vt == VT_UI1 && zeroed) std::memset(data, 0, bytes);
  block->vt = vt;
  SAFEARRAY* a = &block->array;
  a->cDims = 1;
  a->fFeatures = FADF_HAVEVARTYPE;
  a->cbElements = static_cast<ULONG>(size);
  a->pvData = data;
  a->rgsabound[0].cElements = count;
  a->rgsabound[0].lLbound = lower_bound;
  g_live_arrays.fetch_add(1, std::memory_order_relaxed);
  return a;
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, int32_t lower_bound, ULONG count) {
  return CreateVector(vt, lower_bound, count, /*zeroed=*/true);
}

SAFEARRAY* SafeArrayCreateBytesForWriting(int32_t lower_bound, ULONG count) {
  return CreateVector(VT_UI1, lower_bound, count, /*zeroed=*/false);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (array == nullptr) return S_OK;
  if (array->cLocks != 0) return MakeHresult(0x8002000D);  // DISP_E_ARRAYISLOCKED
  ArrayBlock* block = BlockOf(array);
  if (block->vt == VT_VARIANT) {
    auto* items = static_cast<VARIANT*>(array->pvData);
    for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) VariantClear(&items[i]);
  }
  if (block->vt == VT_UI1) {
    internal::ReleaseBuffer(array->pvData);
  } else {
    std::free(array->pvData);
  }
  internal::ReleaseBuffer(block);
  g_live_arrays.fetch_sub(1, std::memory_order_relaxed);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy) {
  if (copy == nullptr) return E_POINTER;
  *copy = nullptr;
  if (array == nullptr) return S_OK;
  VARTYPE vt = BlockOf(array)->vt;
  ULONG n = array->rgsabound[0].cElements;
  SAFEARRAY* c = CreateVector(vt, array->rgsabound[0].lLbound, n, /*zeroed=*/vt != VT_UI1);
  if (c == nullptr) return E_OUTOFMEMORY;
  if (vt == VT_VARIANT) {
    auto* from = static_cast<VARIANT*>(array->pvData);
    auto* to = static_cast<VARIANT*>(c->pvData);
    for (ULONG i = 0; i < n; ++i) {
      HRESULT hr = VariantCopy(&to[i], &from[i]);
      if (Failed(hr)) {
        SafeArrayDestroy(c);
        return hr;
      }
    }
  } else if (n != 0) {
    std::memcpy(c->pvData, array->pvData, static_cast<size_t>(n) * array->cbElements);
  }
  *copy = c;
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt) {
  if (array == nullptr || vt == nullptr) return E_INVALIDARG;
  *vt = BlockOf(array)->vt;
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* array) { return array == nullptr ? 0 : array->cDims; }

HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, int32_t* bound) {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dim != 1) return DISP_E_BADINDEX;
  *bound = array->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, int32_t* bound) {
  if (array == nullptr || bound == nullptr) return E_INVALIDARG;
  if (dim != 1) return DISP_E_BADINDEX;
  *bound = static_cast<int32_t>(static_cast<int64_t>(array->rgsabound[0].lLbound) +
                                static_cast<int64_t>(array->rgsabound[0].cElements) - 1);
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data) {
  if (array == nullptr || data == nullptr) return E_INVALIDARG;
  ++array->cLocks;
  *data = array->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* array) {
  if (array == nullptr) return E_INVALIDARG;
  if (array->cLocks == 0) return E_UNEXPECTED;
  --array->cLocks;
  return S_OK;
}

long LiveArrayCount() { return g_live_arrays.load(std::memory_order_relaxed); }

}  // namespace quillon::com
