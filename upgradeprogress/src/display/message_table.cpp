// The on-screen texts of the 30 languages the set offers. The row number is the
// language number; the byte content of every text is what the set has always
// shown, trailing blanks and the three damaged characters of row 8 included
// (E1 BB 3F: the tail of each sequence was lost long ago and the screens keep
// it so, byte for byte). Those places are written as split literals so that no
// hex escape swallows the following character.
#include "display.h"

const LanguageMessages_T kMessageTable[kLanguageCount] = {
    // 0
    {"eng",
     "Software upgrade is in progress and may take several minutes to complete.\nPlease wait "
     "before you power off your TV.",
     "Upgrade successful", "Upgrade failed"},
    // 1
    {"fre",
     "Une mise à jour du logiciel est en cours et peut prendre plusieurs minutes. \nNous vous "
     "invitons à patienter et ne pas éteindre votre TV.",
     "Mise à jour terminée", "Mise à jour pas terminée"},
    // 2
    {"spa",
     "Una actualización de software está en proceso, esto puede tomar varios\nminutos en "
     "completarse. Por favor espere para apagar su TV.",
     "Actualización éxito", "Actualización haya fallado"},
    // 3
    {"por",
     "atualização de software está em andamento e pode levar vários minutos\npara ser concluído. "
     "Por favor, aguarde antes de desligar o televisor.",
     "atualização bem-sucedida", "atualização com falha"},
    // 4
    {"ara",
     "Software upgrade is in progress and may take several minutes to complete.\nPlease wait "
     "before you power off your TV.",
     "Upgrade successful", "Upgrade failed"},
    // 5
    {"rus",
     "Обновление программного обеспечения \nнаходится в стадии разработки и может занять "
     "\nнесколько минут, чтобы закончить.",
     "Обновление успешно.", "Ошибка обновления."},
    // 6
    {"chi", "正在软件升级，请不要关闭电视，此升级过程需要持续几分钟完成。", "升级成功", "升级失败"},
    // 7
    {"zho", "正在軟件升級，請不要關閉電視，此升級過程需要持續幾分鐘完成。", "升級成功", "升級失敗"},
    // 8
    {"vie",
     "Nâng cấp phần mềm đang được tiến hành và có th\xe1\xbb"
     "?mất vài phút đ\xe1\xbb"
     "?hoàn thành.\nXin vui lòng ch\xe1\xbb"
     "?trước khi bạn tắt TV.",
     "Nâng cấp thành công", "Nâng cấp thất bại"},
    // 9
    {"tha",
     "Software upgrade is in progress and may take several minutes to complete.\nPlease wait "
     "before you power off your TV.",
     "Upgrade successful", "Upgrade failed"},
    // 10
    {"bur",
     "Software upgrade is in progress and may take several minutes to complete.\nPlease wait "
     "before you power off your TV.",
     "Upgrade successful", "Upgrade failed"},
    // 11
    {"uzb",
     "Dasturiy ta’minotni yangilash davom etmoqda, uning tugashi uchun bir necha\ndaqiqa ketishi "
     "mumkin. Televizorni o‘chirmasdan kutib turing.",
     "Yangilov tugallandi", "Yangilov amalga oshmadi"},
    // 12
    {"hin",
     "Software upgrade is in progress and may take several minutes to complete.\nPlease wait "
     "before you power off your TV.",
     "Upgrade successful", "Upgrade failed"},
    // 13
    {"ukr",
     "Оновлення програмного забезпечення \nзнаходиться в стадії розробки і може зайняти кілька "
     "\nхвилин, щоб закінчити.",
     "Оновлення успішно.", "Помилка оновлення."},
    // 14
    {"mal",
     "Naik taraf perisian sedang berjalan dan mungkin mengambil masa beberapa\nminit untuk "
     "selesai. Sila tunggu sebelum anda mematikan TV anda.",
     "Peningkatan berjaya", "Peningkatan gagal"},
    // 15
    {"hbr",
     "Software upgrade is in progress and may take several minutes to complete.\nPlease wait "
     "before you power off your TV.",
     "Upgrade successful", "Upgrade failed"},
    // 16
    {"ger",
     "Die Software-Aktualisierung ist im Gange und wird einige Minuten dauern.\nSchalten Sie Ihren "
     "Fernseher noch nicht aus.",
     "Erfolgreich aktualisiert", "Aktualisierung fehlgeschlagen"},
    // 17
    {"ita",
     "L'aggiornamento software è in corso e potrebbe richiedere alcuni minuti per\nessere "
     "completato. Si prega di attendere che la TV si spenga.",
     "Aggiornamento riuscito con successo", "Aggiornamento non riuscito"},
    // 18
    {"swe",
     "Programuppgradering pågår och kan ta flera minuter att slutföra.\nVänta innan du stänger av "
     "TV:n.",
     "Uppgraderingen slutfördes", "Det gick inte att uppgradera"},
    // 19
    {"dan",
     "Softwareopgraderingen er i gang, og kan tage flere minutter at fuldføre.\nVent med at slukke "
     "tv'et.",
     "Opgradering gennemført", "Opgradering mislykkedes"},
    // 20
    {"fin",
     "Laitteen ohjelmistoa päivitetään. Päivitys saattaa kestä joitakin minuutteja.\nÄlä sammuta "
     "laitetta päivityksen ollessa kesken.",
     "Päivitys onnistui", "Päivitys epäonnistui"},
    // 21
    {"nor",
     "Programvareoppgradering er i gang og kan ta flere minutter. Ikke slå av\nTV-apparatet.",
     "Oppgradering vellykket ", "Oppgraderingen mislyktes"},
    // 22
    {"cze",
     "Probíhá aktualizace softwaru a může trvat několik minut. Počkejte,\nnež se váš televizor "
     "vypne.",
     "Aktualizace byla úspěšná ", "Aktualizace selhala"},
    // 23
    {"slk",
     "Prebieha aktualizácia softvéru a môže trvať niekoľko minút. Počkajte,\nnež sa váš televízor "
     "vypne.",
     "Aktualizovanie bolo úspešné ", "Aktualizovanie zlyhalo"},
    // 24
    {"pol",
     "Trwa uaktualnianie oprogramowania, może to zająć kilka minut.\nPoczekaj zanim wyłączysz "
     "telewizor.",
     "Uaktualnienie powiodło się", "Uaktualnienie nie powiodło się"},
    // 25
    {"hun",
     "A szoftver frissítése folyamatban, a befejezés több percig is eltarthat.\nVárjon, kérem, "
     "mielőtt kikapcsolná a TV-jét.",
     "A frissítés sikeresen befejeződött ", "A frissítés sikertelen"},
    // 26
    {"bul",
     "В момента протича процес на надстройване на \nсофтуера. Това може да отнеме няколко минути. "
     "\nМоля изчакайте преди да изключите телевизора.",
     "Надстройването е успешно.", "Надстройването е неуспешно."},
    // 27
    {"tur",
     "Yazılım yükseltme devam ediyor ve tamamlanması birkaç dakika sürebilir.\nLütfen "
     "televizyonunuzu kapatmadan önce bekleyin.",
     "Yükseltme başarılı", "Yükseltilemedi"},
    // 28
    {"per",
     "Software upgrade is in progress and may take several minutes to complete.\nPlease wait "
     "before you power off your TV.",
     "Upgrade successful", "Upgrade failed"},
    // 29
    {"ind",
     "Sedang memperbarui perangkat lunak dan mungkin memerlukan waktu beberapa\nmenit. Tunggu "
     "sebelum Anda mematikan TV.",
     "Berhasil meningkatkan ", "Gagal meningkatkan"},
};
