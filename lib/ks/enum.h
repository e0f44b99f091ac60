#pragma once

#include "filter.h"
#include "ks_tlist.h"

// What kind of filter objects an enumeration makes.
enum KsFilterKind : ULONG {
    KsFilterPlain = 0,
    KsFilterRender = 1,   // CKsAudRenFilter
    KsFilterCapture = 2,  // CKsAudCapFilter
};

// Finds the device interfaces of a category that are also active in a second
// category, and holds one opened, enumerated filter per interface.
class CKsEnumFilters {
public:
    explicit CKsEnumFilters(HRESULT* phr);
    virtual ~CKsEnumFilters();

    // aguidCategories: the category to enumerate and the category each
    // interface must also be an active alias in. Replaces the filters of an
    // earlier call. E_FAIL when nothing was listed.
    HRESULT EnumFilters(ULONG eFilterType, const GUID* aguidCategories);
    virtual HRESULT DestroyLists();

    KsList<CKsFilter> m_Filters;  // owned
};
