#ifndef BR2UTILS_H
#define BR2UTILS_H
#endif // BR2UTILS_H
