// The engine's message table and the composition of its result-code messages.
#include "ccom/messages.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "support/result_codes.h"
#include "support/text.h"

namespace vornak2 {

namespace {

struct MessageRow {
  std::int32_t code;
  std::string_view text;  // UTF-8; converted to Windows-1251 once, on first use
};

// The rows in three consecutive runs: the general failures 1..9, the engine's own checks
// 103..136, then the vendor library's codes -1 down to -86. Several codes share a text, as the
// vendor library gives them; each row keeps its own copy so that the table reads code by code.
constexpr MessageRow kRows[] = {
    // General failures, returned by the binding and the engine.
    {kLibraryNotLoaded, "Библиотека не загружена"},
    {kBadParameters, "Переданы некорректные параметры"},
    {kLibraryCallException, "Исключительная ситуация при вызове библиотечной функции "},
    {kBadEncryptedData, "Переданы некорректные зашифрованные данные"},
    {kOutOfMemory, "Недостаточно памяти"},
    {kNotSupported, "Функция не поддерживается данной версией библиотеки"},
    {kHardwareRandomUnavailable,
     "Невозможно инициализировать аппаратный драйвер генератора случайных чисел для i810,i815 "
     "chipset"},
    {kFileOperationFailed, "Ошибка при выполнении файловой операции"},
    {kBadSecretPath, "Неверно задан параметр \"Secret Path\"!"},
    // The engine's own checks.
    {kBadUid, "Неверный UID или параметры установлены некорректно"},
    {kBadLength, "Неверная длина переменной или буфера"},
    {kEngineOutOfMemory, "Недостаточно памяти"},
    {kNoSignature,
     "На проверку подписи переданы данные, не содержащие подписи. Возможно формат данных "
     "поврежден."},
    {kFileOrUidError, "Ошибка при работе с файлами или некорректный UID"},
    {kCertificateFileNotFound, "Не найден файл сертификата"},
    {kNewSecretKeyNotFound, "Не найден файл с новым секретным ключом"},
    {kNullPointer, "В функцию передан нулевой указатель, или данные заведомо неверной длины."},
    {kBadHashAlgorithm, "Параметр Hash Algorithm задан неверно"},
    {kCertificateNotInStore,
     "Для заданного UID не найден файл сертификата в каталоге сертификатов, либо файл сертификата "
     "испорчен"},
    {kBadRemoteGenerationDir, "Неверно задан каталог удаленной перегенерации"},
    {kBadKeyGenDir, "Параметр Key gen - Dir задан неверно"},
    {kBadTimeout,
     "Параметры, определяющие Time Out должны содержать целые положительные числа, либо 0."},
    {kNoUidInCertificate, "Невозможно прочитать UID из заданного файла сертификата!"},
    {kNewSecretKeyWriteFailed,
     "Невозможно найти файл нового секретного ключа, либо записать его на диск!"},
    {kCertificateOrRequestUnreadable,
     "Невозможно найти (прочитать) файл сертификата, или запроса на сертификат!"},
    {kTransferFileFailed,
     "Невозможно выделить файл сертификата или запроса на сертификат из пакета данных, либо ошибка "
     "при записи файла на диск!"},
    {kSecretKeyNotFound, "Текущий секретный ключ не найден в заданном каталоге!"},
    {kNoUid, "Не задан UID!"},
    {kNoRandomFile, "Не задан файл инициализации датчика случайных чисел!"},
    {kNoCertificateDir, "Каталог сертификатов не задан или не существует!"},
    {kNoCurrentKeyPath, "Не задан текущий ключевой каталог!"},
    {kNoSecretDir, "Не задан каталог секретных ключей!"},
    {kRandomFileFailed, "Ошибка чтения/записи файла инициализации датчика случайных чисел!"},
    {kRequestWriteFailed, "Ошибка записи файла запроса на сертификат!"},
    {kBadKeyGenSettings, "Неверные настройки параметров KeyGen (длина ключа)!"},
    {kRemoteGenerationDirFailed, "Ошибка при доступе к каталогу удаленной перегенерации."},
    {kNoAuthorityCertificate,
     "В полученной структуре не содержиться сертификата центра сертификации."},
    {kCannotReplaceIssuer, "Невозможно заменить имеющийся сертификат издателя."},
    {kCannotRemoveOwnCertificate, "Невозможно удалить собственный сертификат."},
    {kNoSuchParameter, "Отсутствует настроечный параметр с заданным номером."},
    {kLibraryLoadFailed, "Невозможно загрузить библиотеку ПБЗИ cc.dll"},
    {kLibraryIncomplete,
     "Библиотека cc.dll не содержит всех необходимых для корректной работы функций. Проверьте "
     "версию cc.dll"},
    {kEngineException, "Исключительная ситуация при вызове библиотечной функции "},
    // The vendor library's result codes, passed on unchanged by the binding.
    {-1, "Ошибка открытия файла с сертификатом"},
    {kVendorCertificateRead, "Ошибка чтения сертификата"},
    {-3, "Файл сертификата не найден"},
    {-4, "Ошибка в формате сертификата"},
    {-5, "Срок действия сертификата истек"},
    {-6, "Сертификат не найден"},
    {-7, "Ошибка открытия файла с ключом авторитета"},
    {-8, "Ошибка чтения ключа авторитета"},
    {-9, "Файл ключа авторитета не найден"},
    {-10, "Ошибка в формате ключа авторитета"},
    {-11, "Срок действия ключа авторитета истек"},
    {-12, "Ключ авторитета не найден"},
    {-13, "Ошибка открытия файла с секретным ключом"},
    {-14, "Ошибка чтения секретного ключа"},
    {-15, "Файл секретного ключа не найден"},
    {kVendorSecretKeyFormat, "Ошибка в формате секретного ключа"},
    {-17, "Срок действия секретного ключа истек"},
    {-18, "Секретный ключ не найден"},
    {-19, "Ошибка открытия файла с открытым ключом"},
    {-20, "Ошибка чтения открытого ключа"},
    {-21, "Файл открытого ключа не найден"},
    {-22, "Ошибка в формате открытого ключа"},
    {-23, "Срок действия открытого ключа истек"},
    {-24, "Ошибка открытия файла со списком крипто-имен"},
    {-25, "Ошибка открытия файла визитной карточки"},
    {-26, "Ошибка открытия исходного файла"},
    {-27, "Ошибка создания результирующего файла"},
    {-28, "Ошибка создания временного файла"},
    {-29, "Исходный файл не найден"},
    {kVendorRead, "Ошибка чтения"},
    {-31, "Ошибка при изменении прав доступа"},
    {kVendorDeleteFile, "Ошибка при удалении файла"},
    {-33, "Неизвестная версия формата сообщения"},
    {-34, "Неизвестное ключевое слово"},
    {kVendorCannotDecrypt, "Дешифрование невозможно"},
    {-36, "Несоответствие сертификата и визитной карточки"},
    {-37, "Попытка подписать зашифрованный файл"},
    {-38, "Попытка удалить подписи из зашифрованного файла"},
    {-39, "Файл не зашифрован"},
    {-40, "Файл не подписан"},
    {-41, "Ошибка в формате блока шифрования"},
    {-42, "Ошибка в формате блока подписи"},
    {-43, "Ошибка в формате аттрибутов визитной карточки"},
    {-44, "Ошибка в формате визитной карточки"},
    {-45, "Ошибка в командной строке"},
    {-46, "Ошибка доступа"},
    {-47, "Обнаружены неподтвержденные подписи"},
    {-48, "Ожидаемые подписи не обнаружены либо не подтверждены"},
    {-49, "Файл не зашифрован"},
    {-50, "Ошибка при создании каталога"},
    {-51, "Ошибка открытия файла главного ключа"},
    {-52, "Ошибка чтения главного ключа"},
    {-53, "Ошибка записи главного ключа"},
    {-54, "Ошибка инициализации ГСЧ"},
    {-55, "Ошибка открытия файла списка получателей"},
    {-56, "Файл списка получателей не найден"},
    {-57, "Ошибка выделения памяти"},
    {-58, "Ошибка чтения"},
    {-59, "Ошибка записи"},
    {-60, "Ошибка открытия файла"},
    {-61, "Ошибка закрытия файла"},
    {-62, "Ошибка чтения"},
    {-63, "Процесс прерван"},
    {-64, "Ошибочная команда"},
    {-65, "Подпись не подтверждена"},
    {-66, "Неизвестный алгоритм хэширования"},
    {-67, "Неизвестный алгоритм шифрования"},
    {-68, "Неизвестный двухключевой алгоритм"},
    {-69, "Плохие простые числа"},
    {-70, "Не задана функция ГСЧ"},
    {-71, "Не заданы узлы замены"},
    {-72, "Неизвестный алгоритм"},
    {-73, "Нарушена целостность секретного ключа"},
    {-74, "Нарушена целостность открытого ключа"},
    {-75, "Не инициализирован контекст криптопроцессора"},
    {-76, "Ошибка в формате ключей"},
    {-77, "Ошибка периода действия открытого ключа (сертификата)!"},
    {-78,
     "Ошибка проверки действительности сертификата, либо испорчен (не найден) сертификат "
     "издателя!"},
    {-79, "Ошибка периода действия открытого ключа (сертификата)!"},
    {-80, "Ошибка в секретном ключе, либо срок действия ключа истек (не наступил)!"},
    {-81, "Ошибка в секретном ключе, либо срок действия ключа истек (не наступил)!"},
    {-82,
     "Ошибка проверки действительности сертификата, либо испорчен (не найден) сертификат "
     "издателя!"},
    {-83,
     "Ошибка проверки действительности сертификата, либо испорчен (не найден) сертификат "
     "издателя!"},
    {-84,
     "Ошибка проверки действительности сертификата, либо испорчен (не найден) сертификат "
     "издателя!"},
    {-85, "Ошибка в формате сертификата (заголовок поврежден)!"},
    {-86,
     "Ошибка проверки действительности сертификата, либо испорчен (не найден) сертификат "
     "издателя!"},
};

constexpr std::string_view kGenericText = "Ошибка криптографической библиотеки Zureza VOZ 2.2: ";

constexpr std::size_t kRowCount = std::size(kRows);

// The three runs of the table.
constexpr std::int32_t kFirstGeneral = kLibraryNotLoaded;
constexpr std::int32_t kLastGeneral = kBadSecretPath;
constexpr std::int32_t kFirstEngine = kBadUid;
constexpr std::int32_t kLastEngine = kEngineException;
constexpr std::int32_t kFirstVendor = -1;
constexpr std::int32_t kLastVendor = -86;
constexpr std::int32_t kGeneralRows = kLastGeneral - kFirstGeneral + 1;
constexpr std::int32_t kEngineRows = kLastEngine - kFirstEngine + 1;
constexpr std::int32_t kVendorRows = kFirstVendor - kLastVendor + 1;

// Position of `code` in kRows, or kRowCount when it has no row.
constexpr std::size_t RowIndex(std::int32_t code) {
  if (code >= kFirstGeneral && code <= kLastGeneral)
    return static_cast<std::size_t>(code - kFirstGeneral);
  if (code >= kFirstEngine && code <= kLastEngine)
    return static_cast<std::size_t>(kGeneralRows + (code - kFirstEngine));
  if (code >= kLastVendor && code <= kFirstVendor)
    return static_cast<std::size_t>(kGeneralRows + kEngineRows + (kFirstVendor - code));
  return kRowCount;
}

// The lookup relies on the rows being exactly the three runs in order; check that at compile time
// so that an edited table cannot silently give a code another code's text.
constexpr bool RowsMatchIndex() {
  if (kRowCount != kGeneralRows + kEngineRows + kVendorRows) return false;
  for (std::size_t i = 0; i < kRowCount; ++i) {
    if (RowIndex(kRows[i].code) != i) return false;
  }
  return true;
}
static_assert(RowsMatchIndex(), "message rows must be the runs 1..9, 103..136, -1..-86 in order");

// The Windows-1251 texts, converted from the UTF-8 table once.
struct Cp1251Table {
  std::array<std::string, kRowCount> rows;
  std::string generic;

  Cp1251Table() : generic(Utf8ToCp1251(kGenericText)) {
    for (std::size_t i = 0; i < kRowCount; ++i) rows[i] = Utf8ToCp1251(kRows[i].text);
  }
};

const Cp1251Table& Table() {
  static const Cp1251Table table;  // initialised once, thread-safe
  return table;
}

}  // namespace

std::string_view ResultCodeText(std::int32_t code) {
  const std::size_t index = RowIndex(code);
  if (index == kRowCount) return {};
  return Table().rows[index];
}

std::string ComposeResultMessage(std::int32_t code, const std::string* bindingDescription,
                                 std::string_view lastException) {
  if (code == kOk) return {};
  const std::string_view row = ResultCodeText(code);
  if (row.empty()) return Table().generic + std::to_string(code);
  std::string message(row);
  if (code == kLibraryCallException && bindingDescription != nullptr)
    message += *bindingDescription;
  if (code == kEngineException) message.append(lastException);
  return message;
}

void WriteResultMessage(std::string_view text, char* buffer, std::int32_t capacity) noexcept {
  if (buffer == nullptr || capacity <= 0) return;
  const auto size = static_cast<std::size_t>(capacity);
  std::memset(buffer, 0, size);
  // The last byte stays zero: it terminates the text for the host.
  const std::size_t length = std::min(text.size(), size - 1);
  if (length > 0) std::memcpy(buffer, text.data(), length);
}

}  // namespace vornak2
