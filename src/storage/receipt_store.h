// The receipt store interface, its query record and error type.
#pragma once
