/* Machine-dependent JNI types for 64-bit Windows (LLP64). The JDK on the build
   machine is a Linux one, so the cross build supplies this header itself. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;          /* 32-bit on Windows */
typedef long long jlong;    /* __int64 */
typedef signed char jbyte;

#endif
