#include "flvsplice/common/FlvProcess.h"

CFlvProcess::~CFlvProcess() = default;
