#include "flvsplice/common/FlvData.h"

CFlvData::CFlvData() = default;
CFlvData::~CFlvData() = default;
