#include "app/tesmar_dlg.h"
#include "image/device_catalogue.h"

int32_t CTesmarDlg::LookUpTypecode() {
    statusText.clear();
    queryProtocol = 0;
    throughOutputPic = 0;
    frontPanel = 0;
    isBootloader = 0;
    queryChar = 'Q';
    startChar = 'p';
    startReply = 'P';

    const image::CatalogueRow* row = image::findCatalogueRow(typecode);
    if (row == nullptr) {
        deviceNumber = 0;
        processorFamily = 0;
        queryChar = 0;
        startChar = 0;
        startReply = 0;
        return 0;  // description and memorySize keep their values
    }
    deviceNumber = row->deviceNumber;
    processorFamily = row->processorFamily;
    memorySize = row->memorySize;
    frontPanel = row->frontPanel;
    queryProtocol = row->queryProtocol;
    queryChar = row->queryChar;
    startChar = row->startChar;
    startReply = row->startReply;
    if (row->asksUploadWay) {
        if (MessageBox(image::kUploadWayQuestion, ui::Buttons::YesNo, ui::Icon::Exclamation) ==
            ui::Answer::Yes) {
            throughOutputPic = 1;
            statusText = row->statusText;
        } else {
            statusText = row->statusTextNo;
        }
    } else {
        statusText = row->statusText;
    }
    description = row->description;
    return 1;
}

void CTesmarDlg::ShowLoadInstructions() {
    MessageBox(image::loadInstructionsText(isBootloader != 0, description, deviceNumber,
                                           throughOutputPic != 0),
               ui::Buttons::Ok, ui::Icon::Exclamation);
}
