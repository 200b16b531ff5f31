#pragma once

#include "flvsplice/common/FlvExport.h"

// The host's progress object. The writing operations call ReportProgress once
// per tag of the working tag list, after that tag's work is done; returning
// true stops the operation, which then returns 0.
class FLVSPLICE_API CFlvProcess {
public:
    virtual bool ReportProgress(int index, int count) = 0;
    virtual ~CFlvProcess();
};
