#include "resources/StringTable.h"

// Ids are the low 16 bits of the result codes they describe (0xA007xxxx); 203-207 are the
// selection dialog's texts.
const StringTableEntry kStringTable[] = {
    {203, u"Select a Certificate", u"选择证书"},
    {205, u"Issuer: %ws", u"颁发者: %ws"},
    {206, u"SN: %ws", u"序列号: %ws"},
    {207, u"Valid From: %04d/%02d/%02d to %04d/%02d/%02d",
     u"有效期: %04d/%02d/%02d 至 %04d/%02d/%02d"},
    {4097, u"There is no available certificate in store.", u"证书库中没有可用的证书"},
    {4098, u"User canceled operation.", u"用户取消选择证书"},
    {4099, u"Query type is not supported.", u"查询类型不支持"},
    {4100, u"Base64 encoding failed.", u"Base64加密失败"},
    {4101, u"Base64 decoding failed.", u"Base64解密失败"},
    {4102, u"Malicious target path or file name.", u"恶意的目标路径或文件名"},
    {4103, u"Empty file", u"文件为空"},
    {4104, u"The number of signer in pkcs#7 signature is too many.", u"PKCS#7签名中签名者个数过多"},
    {4128, u"Specified certificate doesn't contain key usage attribute.",
     u"指定证书不含有密钥用途属性"},
    {4129, u"Specified certificate doesn't contain subject key ID attribute.",
     u"指定证书不含有使用者密钥标识符属性"},
    {4130, u"Get specified extension failed.", u"获取指定的证书拓展域信息失败"},
    {4145, u"Certificate in certificate chain is time invalid", u"证书链中某个证书时间无效"},
    {4146, u"Certificate is in offline CRL", u"证书在离线的CRL列表中"},
    {4147, u"Certificate chain is not integrated", u"证书链不完整"},
    {4148, u"Signature of certificate in certificate chain is invalid",
     u"证书链中某个证书签名无效"},
    {4149, u"Special cert isn't exsit", u"指定证书不存在"},
    {4161, u"ASN1 decode failed.", u"ASN.1解码失败"},
    {4162, u"PKCS7 singature decode failed.", u"PKCS7 签名解析失败"},
    {4353, u"Data length exceeds limited", u"数据长度超出最大限制"},
    {4354, u"The depth of recursive exceeds limited.", u"递归深度超过最大限制"},
    {4355, u"Decode SM2 file certificate failed.", u"SM2文件证书解析错误"},
    {4356, u"Invalid PKCS7 singature format.", u"无效的P7签名格式"},
    {4357, u"Invalid CMS envelope format.", u"无效的CMS数字信封格式"},
    {4358, u"SM2 file certificate for decrpting envelope is not exsits.",
     u"未找到匹配的SM2解密证书"},
    {4359, u"Sing failed.", u"签名失败"},
    {4360, u"Decrypt SM2 file certificate failed.", u"解密SM2文件证书失败"},
    {8193, u"Certificate is not ready.", u"证书没有准备好"},
    {8194, u"Language is not supported.", u"语言不支持"},
    {8195, u"Certificate is not unique for specified subject DN.", u"指定主题DN的证书不唯一"},
    {8224, u"Invalid hash algorithm.", u"无效的哈希算法"},
    {8225, u"Invalid certificate usage.", u"无效的证书用法"},
    {8226, u"Invalid sign type.", u"无效的签名类型"},
    {8227, u"Invalid envelope type.", u"无效的数字信封类型"},
    {8228, u"Data exceeds limited", u"数据大小超出限制"},
    {8229, u"Data isn't ready", u"数据没有准备好"},
    {8230, u"The file size exceeds the limit allowed.", u"文件大小超出限制"},
    {9217, u"Invalid key algorithm.", u"无效的密钥算法"},
    {16386, u"SKF library not available.", u"指定SKF库文件不存在"},
    {16387, u"The specify function not available.", u"指定方法不存在"},
    {16388, u"Data format bad.", u"数据格式错误"},
    {16389, u"Device not available.", u"设备不存在"},
    {16390, u"Application not available.", u"应用不存在"},
    {16391, u"Container not available.", u"容器不存在"},
    {16392, u"Container already exists.", u"容器已存在"},
};

const size_t kStringTableSize = sizeof(kStringTable) / sizeof(kStringTable[0]);

const DialogTemplateTexts& SelectCertificateDialogTexts(uint16_t language) {
    static const DialogTemplateTexts kEnglish{u"Windows Security", u"OK", u"Cancel"};
    static const DialogTemplateTexts kChinese{u"Windows 安全", u"确定", u"取消"};
    return language == 2052 ? kChinese : kEnglish;
}
